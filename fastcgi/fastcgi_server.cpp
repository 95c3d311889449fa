#include "fastcgi/fastcgi_server.hpp"

#include "fastcgi/fastcgi_connection.hpp"

#include "fastcgi/system_calls.hpp"

#include <cerrno>
#include <poll.h>
#include <sys/uio.h>

namespace pagestamp::fastcgi {

namespace {

constexpr int listener = 0;

struct slot {
    long long deadline_ms = 0;
    int fd = -1;
    // The peer has shut down its sending side. Requests it sent before are
    // still owed their answers: a half-closed socket takes them.
    bool peer_done = false;
};

// The connections are tens of megabytes of address space. The responder maps
// them when it starts, so a CGI run carries none of it (a sanitizer's leak
// check would otherwise scan it all at every exit), and a slot becomes memory
// only as far as its connections use it.
connection* connections = nullptr;
constinit slot slots[max_connections];
// The stop signals' descriptor and the listener come first.
constexpr std::size_t fixed_fds = 2;
pollfd poll_fds[max_connections + fixed_fds];
std::size_t poll_slots[max_connections + fixed_fds];
std::size_t open_count = 0;
std::size_t next_turn = 0;
int stop_fd = -1;
bool stop_requested = false;

// The clock, read once a round, when poll returns: a system call per read
// and per write would cost more than the stamp. Deadlines are late by at
// most the work of one round.
long long now_ms = 0;

void touch(std::size_t i) { slots[i].deadline_ms = now_ms + idle_timeout_ms; }

void close_slot(std::size_t i)
{
    sys::close_fd(slots[i].fd);
    slots[i].fd = -1;
    --open_count;
}

bool wants_input(std::size_t i)
{
    const connection& c = connections[i];
    return !slots[i].peer_done && !c.broken && !c.close_when_sent && !c.request_ready() && c.input.room() > 0 &&
           c.output.room() >= largest_reply;
}

// Handles what the peer has sent, and closes once there is nothing left to
// say. A broken peer gets nothing more.
void step(std::size_t i)
{
    connection& c = connections[i];
    const progress done = handle_input(c);
    const bool finished = done == progress::close || (slots[i].peer_done && done == progress::need_input);
    if (c.broken || (finished && c.output.empty())) {
        close_slot(i);
    }
}

void flush(std::size_t i)
{
    connection& c = connections[i];
    while (!c.output.empty()) {
        iovec pending{c.output.bytes, c.output.size()};
        const ssize_t sent = writev(slots[i].fd, &pending, 1);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                close_slot(i);
            }
            return;
        }
        c.output.drop_front(static_cast<std::size_t>(sent));
        touch(i);
    }
    step(i); // records held back for want of output room, or the close
}

void receive(std::size_t i)
{
    connection& c = connections[i];
    const ssize_t got = sys::read_some(slots[i].fd, c.input.tail(), c.input.room());
    // A second end of input comes only with POLLHUP: the peer has gone
    // entirely, and nothing it asked for can reach it.
    if ((got == 0 && slots[i].peer_done) || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        close_slot(i);
        return;
    }
    if (got == 0) {
        slots[i].peer_done = true;
        step(i);
        return;
    }
    if (got > 0) {
        c.input.grow(static_cast<std::size_t>(got));
        touch(i);
        step(i);
    }
}

void accept_connections()
{
    for (std::size_t i = 0; i < max_connections && open_count < max_connections; ++i) {
        if (slots[i].fd >= 0) {
            continue;
        }
        const int fd = sys::accept_connection(listener);
        if (fd < 0) {
            return; // none waiting, or another process took it
        }
        slots[i].fd = fd;
        slots[i].peer_done = false;
        ++open_count;
        reset(connections[i]);
        touch(i);
    }
}

int poll_timeout_ms(long long now)
{
    long long earliest = -1;
    for (std::size_t i = 0; i < max_connections; ++i) {
        if (slots[i].fd >= 0 && (earliest < 0 || slots[i].deadline_ms < earliest)) {
            earliest = slots[i].deadline_ms;
        }
    }
    return earliest < 0 ? -1 : static_cast<int>(earliest > now ? earliest - now : 0);
}

// One round of poll: new connections (while a slot is free, else they wait
// in the queue), reads, writes and timeouts.
void serve_once()
{
    std::size_t count = 0;
    poll_fds[count++] = {stop_fd, POLLIN, 0};
    // A full table leaves new connections waiting in the listener's queue.
    poll_fds[count++] = {listener, static_cast<short>(open_count < max_connections ? POLLIN : 0), 0};
    for (std::size_t i = 0; i < max_connections; ++i) {
        if (slots[i].fd >= 0) {
            const connection& c = connections[i];
            const auto events = static_cast<short>((c.output.empty() ? 0 : POLLOUT) | (wants_input(i) ? POLLIN : 0));
            poll_slots[count] = i;
            poll_fds[count++] = {slots[i].fd, events, 0};
        }
    }
    const int ready = sys::wait_for(poll_fds, count, poll_timeout_ms(now_ms));
    now_ms = sys::monotonic_ms();
    if (ready <= 0) {
        return; // nothing before the earliest deadline
    }
    stop_requested = poll_fds[0].revents != 0;
    if ((poll_fds[1].revents & POLLIN) != 0) {
        accept_connections();
    }
    for (std::size_t k = fixed_fds; k < count; ++k) {
        const short events = poll_fds[k].revents;
        const std::size_t i = poll_slots[k];
        if (slots[i].fd >= 0 && (events & (POLLOUT | POLLERR)) != 0) {
            flush(i);
        }
        if (slots[i].fd >= 0 && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
            receive(i);
        }
    }
}

void close_expired()
{
    for (std::size_t i = 0; i < max_connections; ++i) {
        if (slots[i].fd >= 0 && slots[i].deadline_ms <= now_ms) {
            close_slot(i);
        }
    }
}

} // namespace

bool listening_on_stdin() { return sys::is_listening(listener); }

bool start_server()
{
    // Several processes may share one listening socket (spawn-fcgi -F): the
    // one that loses a race for a connection must not block in accept.
    stop_fd = sys::stop_signal_fd();
    now_ms = sys::monotonic_ms();
    connections = static_cast<connection*>(sys::map_memory(max_connections * sizeof(connection)));
    return stop_fd >= 0 && connections != nullptr && sys::set_nonblocking(listener);
}

bool next_request(ready_request& request)
{
    while (!stop_requested) {
        // Whole requests first, taking turns, so no connection waits on another.
        for (std::size_t k = 0; k < max_connections; ++k) {
            const std::size_t i = (next_turn + k) % max_connections;
            if (slots[i].fd >= 0 && connections[i].request_ready()) {
                next_turn = i + 1;
                request.slot = i;
                request.trusted = read_request(connections[i], request.env, request.time_zone);
                return true;
            }
        }
        serve_once();
        close_expired();
    }
    return false;
}

void send_answer(const ready_request& request, std::string_view header, std::string_view body, int status)
{
    answer(connections[request.slot], header, body, status);
    flush(request.slot);
}

void send_refusal(const ready_request& request, int status)
{
    refuse(connections[request.slot], status);
    flush(request.slot);
}

} // namespace pagestamp::fastcgi
