#pragma once
// One FastCGI connection as a state machine over its bytes: whole records in,
// replies out. It touches no socket, so a test or a fuzzer can drive it with
// any stream, split anywhere.

#include "fastcgi/fastcgi_params.hpp"
#include "fastcgi/fastcgi_protocol.hpp"
#include "request/request_env.hpp"
#include "text/body_text.hpp"
#include "text/fixed_text.hpp"

#include <cstdint>
#include <string_view>

namespace pagestamp::fastcgi {

// Connections served at once; more wait in the listening socket's queue.
inline constexpr std::size_t max_connections = 256;
// The application status of a request refused for its params: a kept value
// past its capacity, or a pair running past the stream.
inline constexpr int params_refused = 3;

// Room for the largest reply one record can cause: an answer's stdout record
// with its padding, the end of that stream and the end-request.
inline constexpr std::size_t largest_reply = 3 * header_size + 8 + 29 + body_text::capacity + 8;

struct connection {
    // The buffers' bytes beyond their terminators are left as they are, so a
    // connection made in fresh memory makes only the pages it uses memory.
    connection() = default;
    constexpr explicit connection(all_zero_t) : input(all_zero), output(all_zero), params(all_zero) {}

    // The small fields first, on the page where the input begins: fewer
    // pages per connection in use.
    std::uint16_t request_id = 0; // 0 while no request is under way
    bool keep_conn = false;
    bool params_done = false;
    bool stdin_done = false;
    bool close_when_sent = false; // the peer asked for one request only
    bool broken = false;          // a record no peer may send: close now
    fixed_text<max_record> input;
    fixed_text<2 * largest_reply> output;
    params_reader params;

    [[nodiscard]] bool request_ready() const { return request_id != 0 && params_done && stdin_done; }
};

// Starts a connection afresh without touching its buffers' bytes, in place
// of an old one or in fresh memory.
void reset(connection& c);

enum class progress {
    need_input,     // every whole record is handled
    request_ready,  // a request waits for answer() or refuse()
    need_output,    // replies must be sent before more records are read
    close,          // broken, or done with what the peer asked
};

// Handles the whole records at the front of the input, in order.
progress handle_input(connection& c);

// The ready request's variables and TZ (a null view when it sent none).
// False when its params cannot be trusted to give the request the server
// meant: refuse it instead.
bool read_request(const connection& c, request_env& env, std::string_view& time_zone);

// Ends the ready request with the page text and the CGI's exit status.
void answer(connection& c, std::string_view header, std::string_view body, int status);

// Ends the ready request with no output and an error status.
void refuse(connection& c, int status);

} // namespace pagestamp::fastcgi
