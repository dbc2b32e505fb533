#include "base/identity.h"

#include "base/version.h"

#include <QCoreApplication>

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tunaris - Serial Console"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TUNARIS_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Tunaris Audio Systems"));
    // A reserved example domain: it names no real company.
    QCoreApplication::setOrganizationDomain(QStringLiteral("tunaris.example.com"));
}
