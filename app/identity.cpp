#include "identity.h"

#include <QCoreApplication>

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tunaris - Serial Console"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tunaris Audio Systems"));
    // A reserved example domain: it names no real company.
    QCoreApplication::setOrganizationDomain(QStringLiteral("tunaris.example.com"));
}
