#include "mainapp/helper_process.h"

#include "mainapp/events.h"
#include "mainapp/signals.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace StandIn {

void HelperProcess::launch(const std::string &path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSID | Signals::resetForChild(&attributes)));

    std::string program = path;
    char *argv[] = {program.data(), nullptr};
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid = -1;
        complain(systemError("cannot start the helper " + path, rc));
        return;
    }
    emit("helper-launched " + std::to_string(pid));
}

void HelperProcess::reap()
{
    int status = 0;
    pid_t ended;
    while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (ended != pid)
            continue;
        pid = -1;
        emit("helper-exited " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
    }
}

} // namespace StandIn
