#include "app/resources.h"

#include <QIcon>
#include <QWidget>

void initResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered)
}

void useCompiledIconIfMissing(QWidget *window)
{
    if (window->windowIcon().availableSizes().isEmpty())
        window->setWindowIcon(QIcon(QStringLiteral(":/images/ressources/ico256x256Win.ico")));
}
