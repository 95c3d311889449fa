#include "fastcgi/system_calls.hpp"

#include <initializer_list>
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

// The kernel's signal set, not glibc's larger sigset_t: signal n at bit
// n - 1, in words of a long. It is 64 signals on most machines, 128 on MIPS.
constexpr std::size_t long_bits = 8 * sizeof(unsigned long);
struct kernel_signals {
    unsigned long words[(_NSIG - 1) / long_bits];
};
constexpr void add_signal(kernel_signals& set, int signal)
{
    const auto bit = static_cast<std::size_t>(signal - 1);
    set.words[bit / long_bits] |= 1UL << (bit % long_bits);
}
constexpr kernel_signals signals_of(std::initializer_list<int> signals)
{
    kernel_signals set{};
    for (const int signal : signals) {
        add_signal(set, signal);
    }
    return set;
}
constexpr kernel_signals answered_signals = signals_of({SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2});
// A blocked SIGPIPE never arrives at all.
constexpr kernel_signals blocked_signals = signals_of({SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE});

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
    // lost between two waits.
    if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, &blocked_signals, nullptr, sizeof blocked_signals) != 0) {
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
    // epoll_pwait, as arm64 and riscv64 have no epoll_wait; without a mask
    // it is the same call.
    const long got = syscall(SYS_epoll_pwait, set, raw, asked, timeout_ms, nullptr, sizeof(kernel_signals));
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

// Through libc: the raw mmap takes its arguments differently from one
// machine to the next (a block of them on i386 and s390x, pages on armhf).
void* map_memory(std::size_t bytes)
{
    void* const memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

// Through libc, which reads the clock without entering the kernel, and with
// the timespec the kernel fills on this machine (32-bit ones have two).
long long monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

} // namespace pagestamp::sys
