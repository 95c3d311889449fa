#pragma once
// The FastCGI responder's sockets: the listening socket a process manager
// hands over as standard input, and the connections accepted from it, all
// served by one thread with poll. Records are left to fastcgi_connection.

#include "request/request_env.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp::fastcgi {

// A connection that neither sends nor takes a byte for this long is closed:
// a silent client must not hold a slot, and servers reopen idle ones.
inline constexpr int idle_timeout_ms = 10'000;

// True when standard input is a listening socket, as mod_fcgid, spawn-fcgi
// and systemd's socket activation hand it over. A CGI's standard input is a
// pipe, a file or a connected socket; none of them is read here.
bool listening_on_stdin();

// Takes over standard input as the listening socket, and lets SIGTERM and
// SIGINT end next_request() instead of the process. False when the system
// refuses either.
bool start_server();

struct ready_request {
    std::size_t slot = 0;
    request_env env;
    std::string_view time_zone; // a null view when the request sent no TZ
    bool trusted = false;       // false: refuse it
};

// Serves sockets until some request is whole. False once the process is asked
// to end.
bool next_request(ready_request& request);

// The page text and the CGI's exit status, framed in records and sent.
void send_answer(const ready_request& request, std::string_view header, std::string_view body, int status);

// No page text, an error status.
void send_refusal(const ready_request& request, int status);

} // namespace pagestamp::fastcgi
