#include "app/helper_main.h"
#include "platform/linux/linux_seam.h"

int main(int argc, char **argv)
{
    Platform::LinuxSeam system;
    Platform::setSystemSeam(&system);
    Platform::X11Pointer pointer;
    return helperMain(argc, argv, pointer);
}
