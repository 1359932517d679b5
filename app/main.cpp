#include "app/helper_main.h"
#include "platform/linux/linux_host.h"

int main(int argc, char **argv)
{
    Platform::LinuxHost host;
    Platform::DesktopPointer pointer;
    return helperMain(argc, argv, host, pointer);
}
