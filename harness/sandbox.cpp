#include "harness/sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace Harness {

Sandbox::Sandbox()
    : script(TESSARON_SANDBOX_SCRIPT)
{
    std::string pattern = std::string(TESSARON_SANDBOX_PARENT) + "/tessaron-box-XXXXXX";
    if (::mkdtemp(pattern.data()))
        box = pattern;
    fs::create_directories(home());
    fs::create_directories(applications());
    fs::create_directories(groupContainer());
    char name[] = "/tmp/tessaron-box-XXXXXX";
    if (::mkdtemp(name)) {
        shortcutDir = name;
        shortcut = shortcutDir + "/group";
        fs::create_directory_symlink(groupContainer(), shortcut);
    }
}

Sandbox::~Sandbox()
{
    std::error_code ignored;
    if (!box.empty())
        fs::remove_all(box, ignored);
    if (!shortcutDir.empty())
        fs::remove_all(shortcutDir, ignored);
}

std::string Sandbox::groupContainer() const
{
    return home() + "/Library/Group Containers/group.pro.tessaron.shared";
}

std::string Sandbox::containerSupport() const
{
    return home() + "/Library/Containers/pro.tessaron/Data/Library/Application Support";
}

std::string Sandbox::installedHelper() const
{
    return containerSupport() + "/Tessaron Helper.app";
}

std::string Sandbox::installedHelperInside()
{
    return "/home/user/Library/Containers/pro.tessaron/Data/Library/Application Support/"
           "Tessaron Helper.app/Contents/MacOS/tessaron-helper";
}

void Sandbox::installMainApp()
{
    fs::copy(TESSARON_MAIN_APP_BUNDLE, applications() + "/Tessaron.app", fs::copy_options::recursive);
    fs::create_directories(containerSupport());
}

void Sandbox::installHelper()
{
    fs::copy(TESSARON_HELPER_BUNDLE, installedHelper(), fs::copy_options::recursive);
}

void Sandbox::downloadHelper()
{
    fs::create_directories(home() + "/Downloads");
    fs::copy(TESSARON_HELPER_BUNDLE, home() + "/Downloads/Tessaron Helper.app", fs::copy_options::recursive);
}

void Sandbox::handTo(unsigned uid)
{
    if (::getuid() == uid)
        return;
    // The user may not reach the script where the build keeps it.
    script = box + "/sandbox.sh";
    fs::copy_file(TESSARON_SANDBOX_SCRIPT, script, fs::copy_options::overwrite_existing);
    for (const std::string &top : {box, shortcutDir}) {
        if (::lchown(top.c_str(), uid, uid) != 0)
            continue;
        for (const auto &entry : fs::recursive_directory_iterator(top))
            (void)::lchown(entry.path().c_str(), uid, uid);
    }
}

std::vector<std::string> Sandbox::command(const std::vector<std::string> &inside) const
{
    std::vector<std::string> argv = {script, box};
    argv.insert(argv.end(), inside.begin(), inside.end());
    return argv;
}

std::map<std::string, std::string> Sandbox::environment(const std::string &display) const
{
    return {{"DISPLAY", display}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
}

int Sandbox::commandPid() const
{
    std::ifstream in(box + "/command.pid");
    int pid = 0;
    in >> pid;
    return pid;
}

} // namespace Harness
