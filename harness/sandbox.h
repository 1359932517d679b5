#pragma once

#include <map>
#include <string>
#include <vector>

namespace Harness {

// A private file-system world for the real binaries: scripts/sandbox.sh runs
// them in a mount namespace where /Applications and HOME (/home/user) are
// this sandbox's own. The folder lies in /var/tmp, outside /tmp.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // Paths as the host sees them.
    std::string home() const { return box + "/home"; }
    std::string applications() const { return box + "/Applications"; }
    std::string groupContainer() const;
    std::string containerSupport() const;
    // The main app's socket, through a short link: the full host path is
    // too long for a socket address, the path inside is not.
    std::string socketPath() const { return shortcut + "/Tessaron.sock"; }
    // The installed helper's place, as the host and as the sandbox see it.
    std::string installedHelper() const;
    static std::string installedHelperInside();

    // Tessaron at /Applications/Tessaron.app, started once (its folders exist).
    void installMainApp();
    // The helper already in its place in Tessaron's container.
    void installHelper();
    // The freshly built helper in ~/Downloads.
    void downloadHelper();

    // Everything of the sandbox given to that user, who then runs it: a
    // compositor that refuses root serves only clients that can reach it.
    void handTo(unsigned uid);

    // argv that runs the command inside, and the environment for it.
    std::vector<std::string> command(const std::vector<std::string> &inside) const;
    std::map<std::string, std::string> environment(const std::string &display) const;
    // The command's process id inside, once it has started (0 before).
    int commandPid() const;

private:
    std::string box;
    std::string shortcutDir;
    std::string shortcut;
    std::string script;
};

} // namespace Harness
