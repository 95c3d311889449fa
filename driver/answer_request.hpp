#pragma once
// One request, answered: the same function serves a CGI run and each request
// a FastCGI connection brings.

#include "request/request_env.hpp"
#include "text/body_text.hpp"

#include <string_view>

namespace pagestamp {

// Exit statuses, and a FastCGI request's application status. Servers ignore
// them; they tell a shell, a log or a test what happened.
inline constexpr int stamp_written = 0;
inline constexpr int cannot_open = 1;
inline constexpr int output_failed = 2;
inline constexpr int cannot_serve = 4; // the responder could not take its socket
inline constexpr int cannot_look_up = 5; // no resources to ask the password database: no page text
inline constexpr int variables_missing = 255;

struct zone_info; // zone/zone_info.hpp

struct answer {
    body_text body;
    int status = stamp_written;
};

// Locates the document, gets its status and yields the refusal, the can't-open
// message, the default stamp or the expanded template. Times are shown in
// `zone`; a null one is the process's own zone, through libc.
answer answer_request(const request_env& env, const zone_info* zone);

// Why an answer of this status has no stamp, for a server's log; empty when
// it has one, or when its page text says why itself (a can't-open).
// A literal, so its data() ends in a NUL for a C logger.
std::string_view failure_reason(int status);

} // namespace pagestamp
