#include "app/unsupported_notice.h"

#include "app/app.h"

void showUnsupportedNotice()
{
    // The notice itself comes with the alert panel; until then, leave in order.
    KCore::App::quit();
}
