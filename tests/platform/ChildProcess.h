// Tests that run processes side by side (Linux: fork).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace settings_test {

// Runs body in a child process and gives its exit code (-1 when it did not
// exit normally). The child leaves with _exit, so nothing of the parent's
// state is flushed or destroyed twice.
template <class Body>
int RunInChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace settings_test
