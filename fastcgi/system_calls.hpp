#pragma once
// The responder's system calls, made directly. The program is linked with
// BIND_NOW, so every libc function it imports costs each CGI start a symbol
// lookup; through syscall() the dozen a responder needs cost one import
// between them. Only calls that are the same on every Linux machine are made
// so; mmap and the clock, whose raw forms differ, go through libc.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace pagestamp::sys {

// Whether `fd` is a socket that listens for connections.
bool is_listening(int fd);

// Whether the socket `fd` speaks TCP (IPv4 or IPv6) rather than a unix socket.
bool is_internet_socket(int fd);

// Blocks the signals the responder answers itself (SIGTERM, SIGINT, SIGHUP,
// SIGUSR1, SIGUSR2) and SIGPIPE, and returns a descriptor on which the first
// five arrive, or -1. A peer that has gone then makes a write fail with EPIPE
// instead.
int signal_fd();

// The next signal waiting on signal_fd's descriptor, or 0 when none is.
int take_signal(int fd);

bool set_nonblocking(int fd);
bool set_close_on_exec(int fd);

// Whether `fd` is a stream socket connected to a peer, not a listening one.
bool is_connected_stream(int fd);

long long process_id();

// A new connection, non-blocking and closed on exec; -1 with errno when none.
int accept_connection(int listener);

// Small replies go out at once instead of waiting for an acknowledgement.
void set_no_delay(int fd);

// The soft limit on descriptors: no descriptor number reaches it.
long long descriptor_limit();

// epoll: a set that is told of each descriptor once, and reports the ones
// ready. `key` comes back with each of the descriptor's events.
int make_event_set();
// A connection is watched by edges, told once of each change; for room to
// write only while a write has stalled, or every byte the peer takes would
// wake the loop.
enum class watch { reads, read_edges, read_and_write_edges };
bool add_watch(int set, int fd, watch how, std::uint32_t key);
bool change_watch(int set, int fd, watch how, std::uint32_t key);
void remove_watch(int set, int fd);
struct event {
    std::uint32_t key;
    bool readable;
    bool writable;
    bool hung_up; // the peer has gone entirely, or the socket failed
};
// Up to `room` events, waiting at most `timeout_ms` (negative: for ever).
int wait_for_events(int set, event* into, std::size_t room, int timeout_ms);

ssize_t read_some(int fd, char* into, std::size_t room);
ssize_t write_some(int fd, const char* from, std::size_t size);

// Bytes written to the socket that the peer has not yet taken.
long long unsent_bytes(int fd);

void close_fd(int fd);

// Fresh private memory, page aligned, or nullptr. Its pages become memory
// only when first written.
void* map_memory(std::size_t bytes);

// Milliseconds on a clock that never goes back.
long long monotonic_ms();

} // namespace pagestamp::sys
