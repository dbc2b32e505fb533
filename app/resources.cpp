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

QIcon compiledWindowIcon(IconSizes sizes)
{
    QIcon icon;
    // Given its size, a file is only named here and read when drawn.
    for (const int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/images/ressources/tunaris-%1.png").arg(size), QSize(size, size));
    if (sizes == IconSizes::All)
        icon.addFile(QStringLiteral(":/images/ressources/tunaris-256.png"), QSize(256, 256));
    return icon;
}

bool useCompiledIconIfMissing(QWidget *window, IconSizes sizes)
{
    if (!window->windowIcon().availableSizes().isEmpty())
        return false;
    window->setWindowIcon(compiledWindowIcon(sizes));
    return true;
}
