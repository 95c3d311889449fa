#include "fastcgi/system_calls.hpp"

#include <bit>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pagestamp::sys {

namespace {

// The kernel's signal set: one bit per signal, signal n at bit n - 1.
constexpr std::uint64_t signal_bit(int signal) { return std::uint64_t{1} << static_cast<unsigned>(signal - 1); }
constexpr std::uint64_t answered_signals =
    signal_bit(SIGTERM) | signal_bit(SIGINT) | signal_bit(SIGHUP) | signal_bit(SIGUSR1) | signal_bit(SIGUSR2);

constexpr std::size_t max_batch = 512;

} // namespace

bool is_listening(int fd)
{
    int accepting = 0;
    socklen_t size = sizeof accepting;
    return syscall(SYS_getsockopt, fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0 && accepting != 0;
}

bool is_internet_socket(int fd)
{
    int domain = 0;
    socklen_t size = sizeof domain;
    return syscall(SYS_getsockopt, fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
           (domain == AF_INET || domain == AF_INET6);
}

int signal_fd()
{
    // Blocked, the signals wait for the descriptor to be read, so none is
    // lost between two waits, and a blocked SIGPIPE never arrives at all.
    const std::uint64_t blocked = answered_signals | signal_bit(SIGPIPE);
    if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, &blocked, nullptr, sizeof blocked) != 0) {
        return -1;
    }
    return static_cast<int>(
        syscall(SYS_signalfd4, -1, &answered_signals, sizeof answered_signals, SFD_NONBLOCK | SFD_CLOEXEC));
}

int take_signal(int fd)
{
    signalfd_siginfo info{};
    const long got = syscall(SYS_read, fd, &info, sizeof info);
    return got == static_cast<long>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

bool set_nonblocking(int fd)
{
    const long flags = syscall(SYS_fcntl, fd, F_GETFL);
    return flags >= 0 && syscall(SYS_fcntl, fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_close_on_exec(int fd) { return syscall(SYS_fcntl, fd, F_SETFD, FD_CLOEXEC) == 0; }

bool is_connected_stream(int fd)
{
    int type = 0;
    socklen_t size = sizeof type;
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    return syscall(SYS_getsockopt, fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM &&
           !is_listening(fd) && syscall(SYS_getpeername, fd, &peer, &peer_size) == 0;
}

long long process_id() { return syscall(SYS_getpid); }

int accept_connection(int listener)
{
    return static_cast<int>(syscall(SYS_accept4, listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

void set_no_delay(int fd)
{
    const int on = 1;
    syscall(SYS_setsockopt, fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

long long descriptor_limit()
{
    rlimit64 limit{};
    if (syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) != 0) {
        return 0;
    }
    return limit.rlim_cur > 0x7fffffffULL ? 0x7fffffffLL : static_cast<long long>(limit.rlim_cur);
}

int make_event_set() { return static_cast<int>(syscall(SYS_epoll_create1, EPOLL_CLOEXEC)); }

namespace {

bool control_watch(int set, int operation, int fd, watch how, std::uint32_t key)
{
    epoll_event wanted{};
    wanted.events = how == watch::reads ? EPOLLIN : EPOLLIN | EPOLLRDHUP | EPOLLET;
    if (how == watch::read_and_write_edges) {
        wanted.events |= EPOLLOUT;
    }
    wanted.data.u32 = key;
    return syscall(SYS_epoll_ctl, set, operation, fd, &wanted) == 0;
}

} // namespace

bool add_watch(int set, int fd, watch how, std::uint32_t key) { return control_watch(set, EPOLL_CTL_ADD, fd, how, key); }

bool change_watch(int set, int fd, watch how, std::uint32_t key)
{
    return control_watch(set, EPOLL_CTL_MOD, fd, how, key);
}

void remove_watch(int set, int fd)
{
    epoll_event unused{};
    syscall(SYS_epoll_ctl, set, EPOLL_CTL_DEL, fd, &unused);
}

int wait_for_events(int set, event* into, std::size_t room, int timeout_ms)
{
    epoll_event raw[max_batch];
    const std::size_t asked = room < max_batch ? room : max_batch;
    const long got = syscall(SYS_epoll_wait, set, raw, asked, timeout_ms);
    for (long k = 0; k < got; ++k) {
        const std::uint32_t bits = raw[k].events;
        into[k] = {raw[k].data.u32, (bits & (EPOLLIN | EPOLLRDHUP)) != 0, (bits & EPOLLOUT) != 0,
                   (bits & (EPOLLHUP | EPOLLERR)) != 0};
    }
    return static_cast<int>(got);
}

ssize_t read_some(int fd, char* into, std::size_t room) { return syscall(SYS_read, fd, into, room); }

ssize_t write_some(int fd, const char* from, std::size_t size) { return syscall(SYS_write, fd, from, size); }

long long unsent_bytes(int fd)
{
    int queued = 0;
    return syscall(SYS_ioctl, fd, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

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
