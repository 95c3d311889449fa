#pragma once
// What a peer may send on one connection, and the records that must come
// back. The same table runs against the state machine alone and against a
// live responder: `params` is a request whose answer is `page` with `status`.

#include "support/fastcgi_records.hpp"

#include <string>
#include <vector>

namespace fastcgi_peer {

struct scenario {
    const char* name;
    std::string sent;
    std::string expected;
    bool closes; // after the last reply
};

inline std::vector<scenario> connection_scenarios(const std::string& params, const std::string& page,
                                                  std::uint32_t status)
{
    const std::string refused = record(stdout_type, 1, {}) + end_request(1, 3, request_complete);
    const std::string params_end = stream(params_type, 1, params) + stream(stdin_type, 1, {});
    std::string unknown_sent;
    std::string unknown_replies;
    for (const unsigned type : {0U, 3U, 6U, 7U, 10U, 11U, 12U, 255U}) {
        unknown_sent += record(type, 0, "x");
        unknown_replies += unknown_type(type);
    }
    // A pair whose value claims 2^31 - 1 bytes.
    const std::string runs_past = params + "\x01\xff\xff\xff\xff" "A";
    return {
        {"one request", request(1, params), answered(1, page, status), true},
        {"keep-conn, two requests pipelined", request(1, params, true) + request(2, params, true),
         answered(1, page, status) + answered(2, page, status), false},
        {"second request while one is under way", begin(1) + begin(2) + params_end,
         end_request(2, 0, cant_mpx_conn) + answered(1, page, status), true},
        {"unknown role kept open, then a request", begin(1, 2, true) + request(1, params),
         end_request(1, 0, unknown_role) + answered(1, page, status), true},
        {"unknown role closes", begin(1, 3) + request(2, params), end_request(1, 0, unknown_role), true},
        {"abort, then a request", begin(1, 1, true) + record(params_type, 1, params) + record(abort_type, 1, {}) +
                                      request(2, params),
         end_request(1, 0, request_complete) + answered(2, page, status), true},
        {"get-values with a duplicate and an unknown name",
         record(get_values_type, 0,
                pairs({{"FCGI_MAX_CONNS", ""}, {"FCGI_MPXS_CONNS", ""}, {"FCGI_MAX_CONNS", ""}, {"FCGI_X", ""}})),
         record(get_values_result_type, 0, pairs({{"FCGI_MAX_CONNS", "256"}, {"FCGI_MPXS_CONNS", "0"}})), false},
        {"unknown types", unknown_sent + record(data_type, 1, "data"), unknown_replies, false},
        {"other requests' records and data ignored",
         begin(1) + record(params_type, 7, "\x01\x01xy") + record(stdin_type, 7, {}) + record(abort_type, 7, {}) +
             record(data_type, 1, "data") + params_end,
         answered(1, page, status), true},
        {"params over 65536 bytes in names not ours", request(1, pairs({{"X", std::string(65536, 'x')}}) + params),
         answered(1, page, status), true},
        {"params running past their stream", begin(1) + stream(params_type, 1, runs_past) + stream(stdin_type, 1, {}),
         refused, true},
        {"TZ past a record", request(1, params + pairs({{"TZ", std::string(65536, 'z')}})), refused, true},
        {"version 2 closes", record(begin_type, 1, std::string("\0\1\0\0\0\0\0\0", 8), 2) + request(1, params), "",
         true},
        // Only the header is sent: waiting for the rest would wait for ever.
        {"a version 0 header of the longest record closes", std::string("\0\1\0\1\xff\xff\xff\0", 8), "", true},
        {"an HTTP request line closes", "GET / HTTP/1.1\r\n", "", true},
        {"begin-request shorter than 8 closes", record(begin_type, 1, std::string("\0\1\0\0\0\0\0", 7)) + params_end,
         "", true},
        {"a role whose high byte is set is unknown", begin(1, 0x101) + request(2, params),
         end_request(1, 0, unknown_role), true},
        {"begin-request for the request under way closes", begin(1) + begin(1) + params_end, "", true},
    };
}

} // namespace fastcgi_peer
