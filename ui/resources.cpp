#include "resources.h"

#include <QtGlobal>

void initUiResources()
{
    Q_INIT_RESOURCE(telvanor);
}

void cleanupUiResources()
{
    Q_CLEANUP_RESOURCE(telvanor);
}
