#pragma once
// The built program as a FastCGI responder, started the way a process manager
// starts one: a listening unix socket, in a directory of its own, as its
// standard input. Its standard error goes to a file the test reads; it is
// stopped with SIGTERM.

#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

struct stopped {
    int exit_status = -1; // -1 when it did not exit normally
    int signal = 0;
    long long took_ms = 0;
};

class live_responder {
public:
    live_responder(const std::string& program, const std::vector<std::string>& env);
    ~live_responder();
    live_responder(const live_responder&) = delete;
    live_responder& operator=(const live_responder&) = delete;

    // A new blocking client connection; -1 when it cannot connect.
    [[nodiscard]] int connect_client() const;
    [[nodiscard]] const std::string& socket_path() const { return socket_path_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool running() const;
    // What it wrote to standard error since the last call.
    std::string take_stderr();
    // SIGTERM, then waits (10 s at most before SIGKILL).
    stopped stop();

private:
    std::string directory_;
    std::string socket_path_;
    std::string stderr_path_;
    std::size_t stderr_read_ = 0;
    pid_t pid_ = -1;
};

} // namespace testing_support
