#include "support/short_write.hpp"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

namespace {

constexpr int patience_ms = 30000;

bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

} // namespace

bool interrupt_when_full(pid_t pid, int fd, std::size_t bytes)
{
    for (int waited_ms = 0; waited_ms < patience_ms; ++waited_ms) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && static_cast<std::size_t>(queued) >= bytes) {
            kill(pid, SIGSTOP);
            // A SIGCONT sent before the stop is taken would cancel it. WNOWAIT
            // leaves the stop, or an exit, for the caller's own wait.
            siginfo_t info{};
            waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT);
            kill(pid, SIGCONT);
            return true;
        }
        if (has_ended(pid)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string read_slowly(int fd, std::size_t chunk, std::chrono::microseconds pause, std::size_t limit)
{
    std::string received;
    std::string buffer(chunk, '\0');
    pollfd ready{fd, POLLIN, 0};
    while (received.size() <= limit) {
        const int polled = poll(&ready, 1, patience_ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            break;
        }
        const ssize_t got = read(fd, buffer.data(), chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        received.append(buffer, 0, static_cast<std::size_t>(got));
        std::this_thread::sleep_for(pause);
    }
    return received;
}

} // namespace testing_support
