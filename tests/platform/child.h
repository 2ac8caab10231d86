// Runs a piece of platform code in a child process whose standard input is
// a pipe holding the given bytes and whose standard output is captured, so
// that headless console output and keyboard input can be checked exactly.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace vk::test {

struct ChildResult {
    std::string out;
    int status = -1; // exit status, or -1 when killed by a signal
};

struct ChildOptions {
    bool keepInputOpen = false; // standard input stays open (no end of input)
    int interruptAfterMs = -1;  // send SIGINT after this many milliseconds
};

inline ChildResult RunChild(const std::function<void()>& body, const std::string& input = "",
                            ChildOptions options = {}) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    // The input is in the pipe before the child starts.
    if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size()))
        std::abort();
    if (!options.keepInputOpen) {
        close(in[1]);
        in[1] = -1;
    }
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]);
        close(out[0]);
        close(out[1]);
        if (in[1] >= 0) close(in[1]);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    close(in[0]);
    close(out[1]);
    if (options.interruptAfterMs >= 0) {
        usleep(useconds_t(options.interruptAfterMs) * 1000);
        kill(pid, SIGINT);
    }
    ChildResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        result.out.append(buffer, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (in[1] >= 0) close(in[1]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace vk::test
