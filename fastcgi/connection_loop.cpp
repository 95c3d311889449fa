#include "fastcgi/connection_loop.hpp"

#include "fastcgi/fastcgi_connection.hpp"
#include "fastcgi/slot_list.hpp"
#include "fastcgi/stop_policy.hpp"
#include "fastcgi/system_calls.hpp"

#include <cerrno>
#include <iterator>

namespace pagestamp::fastcgi {

namespace {

constexpr int listener = 0;
// The keys of the two descriptors that are not connections; a connection's
// key is its slot.
constexpr std::uint32_t listener_key = 0xffff0000U;
constexpr std::uint32_t signal_key = 0xffff0001U;

struct slot {
    long long idle_deadline_ms = 0;
    long long request_deadline_ms = 0;
    // What the socket held that the peer had not taken when a write last
    // stalled: less of it later is progress, though no write completed.
    long long unsent = 0;
    int fd = -1;
    // Told once by an edge, and true until a read or write would block.
    bool readable = false;
    bool writable = false;
    bool watching_writes = false;
    // The peer has shut down its sending side. Requests it sent before are
    // still owed their answers: a half-closed socket takes them.
    bool peer_done = false;
    bool hung_up = false; // gone entirely, or the socket failed
    bool closing = false; // no further request: closed once its output is sent
};

// Everything the loop keeps between rounds, in one place.
struct loop_state {
    // The connections are tens of megabytes of address space. The responder
    // maps them when it starts, so a CGI run carries none of it (a
    // sanitizer's leak check would otherwise scan it all at every exit), and
    // a slot becomes memory only as far as its connections use it.
    connection* connections = nullptr;
    slot slots[max_connections];
    slot_list<max_connections> by_idle_deadline;
    slot_list<max_connections> by_request_deadline;
    slot_list<max_connections> ready; // whole requests, in turn
    std::uint16_t free_slots[max_connections] = {};
    std::size_t free_count = 0;
    // Requests taken from `ready` before the next wait: those ready at the
    // last one, so a connection whose next request is whole goes behind the
    // others.
    std::size_t round_left = 0;

    int event_set = -1;
    int signals = -1;
    bool internet = false;
    descriptor_store store;
    long long descriptor_limit = 0;

    run_state state = run_state::serving;
    long long stop_at_ms = 0;

    bool listener_watched = false;
    // The last connection took a descriptor next to the reserve: no more
    // until one closes.
    bool descriptors_short = false;
    long long accept_resume_ms = 0; // after the system ran out of descriptors

    // The clock, read once a round, when the wait returns: a system call per
    // read and per write would cost more than the stamp. Deadlines are late
    // by at most the work of one round.
    long long now_ms = 0;
};

constinit loop_state loop;

std::size_t open_count() { return max_connections - loop.free_count; }

void touch(std::size_t i)
{
    loop.slots[i].idle_deadline_ms = loop.now_ms + idle_allowance_ms(loop.state);
    loop.by_idle_deadline.push_back(i);
}

void close_slot(std::size_t i)
{
    sys::close_fd(loop.slots[i].fd); // which also takes it out of the event set
    loop.slots[i].fd = -1;
    loop.by_idle_deadline.remove(i);
    loop.by_request_deadline.remove(i);
    loop.ready.remove(i);
    loop.free_slots[loop.free_count++] = static_cast<std::uint16_t>(i);
    loop.descriptors_short = false;
}

bool wants_input(std::size_t i)
{
    const connection& c = loop.connections[i];
    const slot& s = loop.slots[i];
    return !s.peer_done && !s.closing && !c.broken && !c.close_when_sent && !c.request_ready() &&
           c.input.room() > 0 && c.output.room() >= largest_reply;
}

// The request clock runs while a begun request waits on its peer's bytes.
void time_request(std::size_t i)
{
    if (!wants_input(i) || !under_way(loop.connections[i])) {
        loop.by_request_deadline.remove(i);
    } else if (!loop.by_request_deadline.contains(i)) {
        loop.slots[i].request_deadline_ms = loop.now_ms + request_timeout_ms;
        loop.by_request_deadline.push_back(i);
    }
}

// Handles what the peer has sent, and closes once there is nothing left to
// say. A broken peer gets nothing more.
void step(std::size_t i)
{
    connection& c = loop.connections[i];
    const slot& s = loop.slots[i];
    const progress done = s.closing ? progress::close : handle_input(c);
    if (done == progress::request_ready && !loop.ready.contains(i)) {
        loop.ready.push_back(i);
    }
    const bool over = done == progress::close || (s.peer_done && done == progress::need_input);
    if (c.broken || (over && c.output.empty())) {
        close_slot(i);
        return;
    }
    time_request(i);
}

// True when bytes went out.
bool flush(std::size_t i)
{
    connection& c = loop.connections[i];
    slot& s = loop.slots[i];
    bool sent = false;
    while (s.writable && !c.output.empty()) {
        const ssize_t n = sys::write_some(s.fd, c.output.bytes, c.output.size());
        if (n > 0) {
            c.output.drop_front(static_cast<std::size_t>(n));
            sent = true;
            touch(i);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            s.writable = false;
            s.unsent = sys::unsent_bytes(s.fd);
        } else if (n >= 0 || errno != EINTR) {
            close_slot(i);
            return false;
        }
    }
    const bool stalled = !c.output.empty();
    if (stalled != s.watching_writes) {
        const auto how = stalled ? sys::watch::read_and_write_edges : sys::watch::read_edges;
        if (sys::change_watch(loop.event_set, s.fd, how, static_cast<std::uint32_t>(i))) {
            s.watching_writes = stalled;
        }
    }
    return sent;
}

// True when bytes or the end of input came.
bool receive(std::size_t i)
{
    connection& c = loop.connections[i];
    slot& s = loop.slots[i];
    const ssize_t got = sys::read_some(s.fd, c.input.tail(), c.input.room());
    if (got > 0) {
        // A stream socket fills a read as far as it holds: a short one has
        // emptied it, and what comes next brings an event of its own. A read
        // only to learn EAGAIN would cost a system call a request.
        s.readable = static_cast<std::size_t>(got) == c.input.room();
        c.input.grow(static_cast<std::size_t>(got));
        touch(i);
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        s.readable = errno == EINTR;
        return false;
    }
    // An end of input with the peer gone entirely: nothing it asked for can
    // reach it.
    if (got < 0 || s.peer_done || s.hung_up) {
        close_slot(i);
        return false;
    }
    s.peer_done = true;
    s.readable = false;
    return true;
}

void store_if_idle(std::size_t i)
{
    const slot& s = loop.slots[i];
    if (!s.hung_up && may_store(loop.store, loop.connections[i], s.peer_done) && store_connection(loop.store, s.fd)) {
        close_slot(i);
    }
}

// Moves a connection on as far as its socket allows: sends what waits, reads
// while it wants input, and handles each whole record.
void pump(std::size_t i)
{
    const slot& s = loop.slots[i];
    for (;;) {
        const bool sent = flush(i);
        if (s.fd < 0) {
            return;
        }
        const bool got = s.readable && wants_input(i) && receive(i);
        if (s.fd < 0) {
            return;
        }
        step(i);
        if (s.fd < 0) {
            return;
        }
        if (!(sent || got || (s.writable && !loop.connections[i].output.empty()))) {
            break;
        }
    }
    if (loop.state != run_state::serving) {
        store_if_idle(i);
    }
}

// When the slowest request still coming stops being one a server would send.
long long slow_from_ms()
{
    const std::size_t i = loop.by_request_deadline.front();
    return loop.slots[i].request_deadline_ms - request_timeout_ms + slow_request_ms;
}

// Whether a new connection may take a slot: a free one, or one a slow
// request holds.
bool room_for_one()
{
    return loop.free_count > 0 || (!loop.by_request_deadline.empty() && slow_from_ms() <= loop.now_ms);
}

bool listener_wanted()
{
    return loop.state == run_state::serving && room_for_one() && !loop.descriptors_short &&
           loop.now_ms >= loop.accept_resume_ms;
}

void watch_listener()
{
    const bool wanted = listener_wanted();
    if (wanted == loop.listener_watched) {
        return;
    }
    if (wanted) {
        loop.listener_watched = sys::add_watch(loop.event_set, listener, sys::watch::reads, listener_key);
    } else {
        sys::remove_watch(loop.event_set, listener);
        loop.listener_watched = false;
    }
}

void open_slot(int fd)
{
    const std::size_t i = loop.free_slots[--loop.free_count];
    if (!sys::add_watch(loop.event_set, fd, sys::watch::read_edges, static_cast<std::uint32_t>(i))) {
        sys::close_fd(fd);
        ++loop.free_count;
        return;
    }
    if (loop.internet) {
        sys::set_no_delay(fd);
    }
    loop.slots[i] = slot{};
    loop.slots[i].fd = fd;
    loop.slots[i].writable = true; // a new socket has room
    reset(loop.connections[i]);
    touch(i);
    // Descriptors come lowest first: once one is this close to the limit,
    // every lower one is taken.
    loop.descriptors_short = fd + 1 + reserved_descriptors >= loop.descriptor_limit;
}

void accept_connections()
{
    while (room_for_one() && !loop.descriptors_short) {
        const int fd = sys::accept_connection(listener);
        if (fd >= 0) {
            if (loop.free_count == 0) {
                close_slot(loop.by_request_deadline.front()); // only once someone waits for its slot
            }
            open_slot(fd);
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Retrying at once would spin: the listener stays readable.
            loop.accept_resume_ms = loop.now_ms + accept_pause_ms;
            loop.descriptor_limit = sys::descriptor_limit(); // it may have been lowered since the start
        }
        break; // none waiting, another process took it, or no descriptor
    }
    watch_listener();
}

// Closing a kept connection races with its server sending a request down
// it, which fails that include: a connection idle at the stop is closed only
// once it stays idle for stop_idle_ms, or after its next answer. Whatever
// is open at the deadline is closed with the process.
void begin_stop()
{
    loop.state = run_state::stopping;
    loop.stop_at_ms = loop.now_ms + stop_deadline_ms;
    watch_listener();
    for (std::size_t i = 0; i < max_connections; ++i) {
        if (loop.slots[i].fd >= 0) {
            touch(i); // in order, as every deadline from now on is this close
            // Bytes that came before the signal, though no event for them has
            // been handled yet, begin a request.
            loop.slots[i].readable = true;
            pump(i);
        }
    }
}

void take_signals()
{
    for (int signal = sys::take_signal(loop.signals); signal != 0; signal = sys::take_signal(loop.signals)) {
        const run_state next = after_signal(loop.state, signal);
        if (next == run_state::stopping && loop.state == run_state::serving) {
            begin_stop();
        }
        loop.state = next;
    }
}

void on_event(const sys::event& e)
{
    if (e.key == signal_key) {
        take_signals();
        return;
    }
    if (e.key == listener_key) {
        accept_connections();
        return;
    }
    if (e.key >= max_connections || loop.slots[e.key].fd < 0) {
        return; // closed earlier in this round
    }
    slot& s = loop.slots[e.key];
    s.readable = s.readable || e.readable || e.hung_up;
    s.writable = s.writable || e.writable || e.hung_up;
    s.hung_up = s.hung_up || e.hung_up;
    pump(e.key);
}

void close_expired()
{
    while (!loop.by_idle_deadline.empty() &&
           loop.slots[loop.by_idle_deadline.front()].idle_deadline_ms <= loop.now_ms) {
        const std::size_t i = loop.by_idle_deadline.front();
        const connection& c = loop.connections[i];
        if (loop.state == run_state::stopping && owes_answer(c)) {
            touch(i); // owed an answer: the request's clock and the deadline bound it
            continue;
        }
        const long long unsent = c.output.empty() ? -1 : sys::unsent_bytes(loop.slots[i].fd);
        if (unsent >= 0 && unsent < loop.slots[i].unsent) {
            loop.slots[i].unsent = unsent;
            touch(i);
        } else {
            close_slot(i);
        }
    }
    while (!loop.by_request_deadline.empty() &&
           loop.slots[loop.by_request_deadline.front()].request_deadline_ms <= loop.now_ms) {
        close_slot(loop.by_request_deadline.front());
    }
}

// The milliseconds until the earliest deadline; -1 when there is none.
int wait_timeout()
{
    if (!loop.ready.empty()) {
        return 0;
    }
    long long earliest = -1;
    const auto consider = [&earliest](long long at) {
        if (earliest < 0 || at < earliest) {
            earliest = at;
        }
    };
    if (!loop.by_idle_deadline.empty()) {
        consider(loop.slots[loop.by_idle_deadline.front()].idle_deadline_ms);
    }
    if (!loop.by_request_deadline.empty()) {
        consider(loop.slots[loop.by_request_deadline.front()].request_deadline_ms);
    }
    if (loop.state == run_state::stopping) {
        consider(loop.stop_at_ms);
    }
    if (loop.state == run_state::serving && !loop.listener_watched && loop.accept_resume_ms > loop.now_ms) {
        consider(loop.accept_resume_ms);
    }
    if (loop.state == run_state::serving && loop.free_count == 0 && !loop.by_request_deadline.empty() &&
        slow_from_ms() > loop.now_ms) {
        consider(slow_from_ms()); // the listener is watched again then
    }
    return earliest < 0 ? -1 : static_cast<int>(earliest > loop.now_ms ? earliest - loop.now_ms : 0);
}

// One wait: new connections, reads, writes, signals and timeouts.
void serve_round()
{
    static sys::event events[max_connections + 2];
    watch_listener(); // slots freed and pauses over since the last round
    const int count = sys::wait_for_events(loop.event_set, events, std::size(events), wait_timeout());
    loop.now_ms = sys::monotonic_ms();
    for (int k = 0; k < count; ++k) {
        on_event(events[k]);
    }
    close_expired();
    loop.round_left = loop.ready.size();
}

} // namespace

bool listening_on_stdin() { return sys::is_listening(listener); }

bool start_server(const descriptor_store& handed_store, const int* stored, std::size_t stored_count)
{
    loop.store = handed_store;
    loop.event_set = sys::make_event_set();
    loop.signals = sys::signal_fd();
    loop.now_ms = sys::monotonic_ms();
    loop.descriptor_limit = sys::descriptor_limit();
    loop.internet = sys::is_internet_socket(listener);
    loop.connections = static_cast<connection*>(sys::map_memory(max_connections * sizeof(connection)));
    for (std::size_t i = 0; i < max_connections; ++i) {
        loop.free_slots[i] = static_cast<std::uint16_t>(max_connections - 1 - i); // slot 0 first
    }
    loop.free_count = max_connections;
    // Several processes may share one listening socket (spawn-fcgi -F): the
    // one that loses a race for a connection must not block in accept.
    const bool ready_to_serve = loop.signals >= 0 && loop.event_set >= 0 && loop.connections != nullptr &&
                                sys::set_nonblocking(listener) &&
                                sys::add_watch(loop.event_set, loop.signals, sys::watch::reads, signal_key);
    for (std::size_t k = 0; k < stored_count; ++k) {
        if (ready_to_serve && loop.free_count > 0 && !loop.descriptors_short && sys::is_connected_stream(stored[k]) &&
            sys::set_nonblocking(stored[k]) && sys::set_close_on_exec(stored[k])) {
            open_slot(stored[k]); // what waits in it comes as the first event
        } else {
            // More than the table holds: its peer sees the end of file and
            // opens another, which waits in the listener's queue for a slot.
            sys::close_fd(stored[k]);
        }
    }
    if (stored_count > 0) {
        forget_stored_connections(loop.store);
    }
    watch_listener();
    // A table filled by stored connections is no failure: the listener is
    // watched again once one of them closes.
    return ready_to_serve && loop.listener_watched == listener_wanted();
}

bool next_request(ready_request& request)
{
    while (loop.state != run_state::ending) {
        if (stop_over(loop.state, open_count(), loop.now_ms, loop.stop_at_ms)) {
            return false;
        }
        if (loop.round_left > 0 && !loop.ready.empty()) {
            --loop.round_left;
            const std::size_t i = loop.ready.front();
            loop.ready.remove(i);
            request.slot = i;
            request.trusted = read_request(loop.connections[i], request.env, request.time_zone);
            return true;
        }
        serve_round();
    }
    return false;
}

namespace {

void after_reply(std::size_t i)
{
    // Stopping, the connection is closed after this answer, unless the store
    // takes it.
    loop.slots[i].closing = loop.slots[i].closing || closes_after_answer(loop.state, loop.store);
    pump(i);
}

} // namespace

void send_answer(const ready_request& request, std::string_view header, std::string_view body, int status)
{
    answer(loop.connections[request.slot], header, body, status);
    after_reply(request.slot);
}

void send_refusal(const ready_request& request, int status)
{
    refuse(loop.connections[request.slot], status);
    after_reply(request.slot);
}

} // namespace pagestamp::fastcgi
