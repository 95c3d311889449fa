#pragma once
// The FastCGI responder's sockets: the listening socket a process manager
// hands over as standard input, and the connections accepted from it, all
// served by one thread with epoll. Records are left to fastcgi_connection,
// what a stop does with each connection to stop_policy.

#include "fastcgi/descriptor_store.hpp"
#include "request/request_env.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp::fastcgi {

// A connection that neither sends nor takes a byte for this long is closed:
// a silent client must not hold a slot, and servers reopen idle ones.
// Progress counts both ways: a peer slowly taking a long answer is not idle.
inline constexpr int idle_timeout_ms = 10'000;
// A request must arrive whole within this long of its first byte, however
// steadily it trickles in: otherwise a few clients sending a byte now and then
// would hold every slot for ever. A full table leaves new connections waiting
// in the listening socket's queue.
inline constexpr int request_timeout_ms = 30'000;
// A server sends a request whole at once: one still coming this long after
// its first byte is a peer's that holds a slot. With every slot taken, the
// oldest such is dropped to make room for a new connection, so that a few
// local peers trickling bytes cannot lock the server out.
inline constexpr int slow_request_ms = 1'000;
// After SIGTERM or SIGHUP, requests under way get this long to be answered.
inline constexpr int stop_deadline_ms = 5'000;
// Descriptors never taken by connections: each answer may need a few (the
// zone file, the password database) and must not fail for want of one.
inline constexpr long long reserved_descriptors = 16;
// How long the listener rests when the system has no descriptor to give.
inline constexpr int accept_pause_ms = 100;

// True when standard input is a listening socket, as mod_fcgid, spawn-fcgi
// and systemd's socket activation hand it over. A CGI's standard input is a
// pipe, a file or a connected socket; none of them is read here.
bool listening_on_stdin();

// Takes over standard input as the listening socket, maps the connections'
// table and takes the signals: SIGTERM and SIGHUP stop it gracefully (no new
// connection or request; those under way answered, for stop_deadline_ms at
// most), a second one or SIGINT at once; SIGUSR1 and SIGUSR2 are ignored.
// With a store, a stop hands it each kept connection once nothing is owed on
// it, instead of closing it; `stored` are connections an earlier responder
// stored, served as if accepted. False when the system refuses any of it.
bool start_server(const descriptor_store& store, const int* stored, std::size_t stored_count);

struct ready_request {
    std::size_t slot = 0;
    request_env env;
    std::string_view time_zone; // a null view when the request sent no TZ
    bool trusted = false;       // false: refuse it
};

// Serves sockets until some request is whole, taking turns between
// connections. False once the process is to end.
bool next_request(ready_request& request);

// The page text and the CGI's exit status, framed in records and sent.
void send_answer(const ready_request& request, std::string_view header, std::string_view body, int status);

// No page text, an error status.
void send_refusal(const ready_request& request, int status);

} // namespace pagestamp::fastcgi
