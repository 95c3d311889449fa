#pragma once
// The built program as a FastCGI responder, started the way a process manager
// starts one: a listening socket as its standard input, a unix socket in a
// directory of its own or TCP on 127.0.0.1. Its standard error goes to a file
// the test reads; it is stopped with SIGTERM.

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace testing_support {

struct stopped {
    int exit_status = -1; // -1 when it did not exit normally
    int signal = 0;
    long long took_ms = 0;
};

struct listening {
    bool loopback_tcp = false;
    // SO_SNDBUF of the listener, which TCP connections accepted from it
    // inherit; 0 leaves the system's.
    int send_buffer = 0;
    // prlimit(1) options the responder starts under ("--nofile=64").
    std::vector<std::string> limits = {};
};

class live_responder {
public:
    live_responder(const std::string& program, const std::vector<std::string>& env, listening how = {});
    ~live_responder();
    live_responder(const live_responder&) = delete;
    live_responder& operator=(const live_responder&) = delete;

    // A new blocking client connection, with SO_RCVBUF set when given; -1
    // when it cannot connect.
    [[nodiscard]] int connect_client(int receive_buffer = 0) const;
    [[nodiscard]] const std::string& socket_path() const { return socket_path_; } // unix only
    [[nodiscard]] pid_t pid() const { return pid_; }
    // False once it has ended, by itself or by stop().
    [[nodiscard]] bool running();
    // What it wrote to standard error since the last call.
    std::string take_stderr();
    // SIGTERM, then waits (10 s at most before SIGKILL); how it ended, also
    // when it ended before.
    stopped stop();
    void send_signal(int signal) const;
    // Waits up to `limit_ms` for it to end; took_ms counts from the call.
    stopped wait_end(int limit_ms);
    // Its state letter in /proc (R, S, T...), or 0 once it has gone.
    [[nodiscard]] char state() const;
    // Its CPU time so far, user and system, in milliseconds.
    [[nodiscard]] long long cpu_ms() const;

private:
    std::string directory_;
    std::string socket_path_;
    int port_ = 0; // on TCP
    std::string stderr_path_;
    std::size_t stderr_read_ = 0;
    pid_t pid_ = -1;
    int status_ = 0; // its wait status, once it has ended
    bool ended_ = false;
};

bool send_all(int fd, std::string_view bytes);

struct received {
    std::string bytes;
    bool closed = false; // the peer closed (or reset) the connection
};

// Reads until `want` bytes have come (0: until the peer closes), the peer
// closes, or `timeout_ms` passes; at most `chunk` bytes per read.
received receive(int fd, std::size_t want, int timeout_ms, std::size_t chunk = 65536);

} // namespace testing_support
