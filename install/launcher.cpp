#include "install/launcher.h"

#include "platform/seam.h"

void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance)
{
    Platform::seam().launchApplication(bundlePath, activates, createsNewInstance);
}
