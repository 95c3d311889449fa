#pragma once
// The responder's system calls, made directly. The program is linked with
// BIND_NOW, so every libc function it imports costs each CGI start a symbol
// lookup; the dozen a responder needs would cost a CGI run more than all of
// its own work. Through syscall() they cost one import between them.

#include <cstddef>
#include <sys/types.h>

struct pollfd;

namespace pagestamp::sys {

// Whether `fd` is a socket that listens for connections.
bool is_listening(int fd);

// Keeps SIGTERM, SIGINT and SIGPIPE from ending the process and returns a
// descriptor that becomes readable once SIGTERM or SIGINT has come, or -1.
// A peer that has gone then makes a write fail with EPIPE instead.
int stop_signal_fd();

bool set_nonblocking(int fd);

// A new connection, non-blocking and closed on exec; -1 when none waits.
int accept_connection(int listener);

// poll; a negative timeout waits for ever.
int wait_for(pollfd* fds, std::size_t count, int timeout_ms);

ssize_t read_some(int fd, char* into, std::size_t room);

void close_fd(int fd);

// Fresh private memory, page aligned, or nullptr. Its pages become memory
// only when first written.
void* map_memory(std::size_t bytes);

// Milliseconds on a clock that never goes back.
long long monotonic_ms();

} // namespace pagestamp::sys
