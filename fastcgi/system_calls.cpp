#include "fastcgi/system_calls.hpp"

#include <bit>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pagestamp::sys {

namespace {

// The kernel's signal set: one bit per signal, signal n at bit n - 1.
constexpr std::uint64_t signal_bit(int signal) { return std::uint64_t{1} << static_cast<unsigned>(signal - 1); }
constexpr std::uint64_t stop_signals = signal_bit(SIGTERM) | signal_bit(SIGINT);

} // namespace

bool is_listening(int fd)
{
    int accepting = 0;
    socklen_t size = sizeof accepting;
    return syscall(SYS_getsockopt, fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0 && accepting != 0;
}

int stop_signal_fd()
{
    // Blocked, the stop signals wait for the descriptor to be read, so none is
    // lost between two polls, and a blocked SIGPIPE never arrives at all.
    const std::uint64_t blocked = stop_signals | signal_bit(SIGPIPE);
    if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, &blocked, nullptr, sizeof blocked) != 0) {
        return -1;
    }
    return static_cast<int>(syscall(SYS_signalfd4, -1, &stop_signals, sizeof stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
}

bool set_nonblocking(int fd)
{
    const long flags = syscall(SYS_fcntl, fd, F_GETFL);
    return flags >= 0 && syscall(SYS_fcntl, fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int accept_connection(int listener)
{
    return static_cast<int>(syscall(SYS_accept4, listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

int wait_for(pollfd* fds, std::size_t count, int timeout_ms)
{
    const timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1'000'000L};
    return static_cast<int>(
        syscall(SYS_ppoll, fds, count, timeout_ms < 0 ? nullptr : &timeout, nullptr, std::size_t{8}));
}

ssize_t read_some(int fd, char* into, std::size_t room) { return syscall(SYS_read, fd, into, room); }

void close_fd(int fd) { syscall(SYS_close, fd); }

void* map_memory(std::size_t bytes)
{
    void* const memory = std::bit_cast<void*>(
        syscall(SYS_mmap, nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    return memory == MAP_FAILED ? nullptr : memory;
}

long long monotonic_ms()
{
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

} // namespace pagestamp::sys
