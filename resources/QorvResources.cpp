#include "resources/QorvResources.h"

#include <QtGlobal>

static void InitResourcesOutsideNamespace()
{
    Q_INIT_RESOURCE(i18n);
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(btnimg);
}

void InitQorvResources()
{
    InitResourcesOutsideNamespace();
}
