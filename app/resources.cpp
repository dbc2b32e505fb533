#include "resources.h"

#include <QtGlobal>

void initResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered)
}
