// The FastCGI responder: each request is answered exactly as a CGI run with
// the same variables, by the same function; only the way in and out differs.

#include "fastcgi/serve_fastcgi.hpp"

#include "driver/answer_request.hpp"
#include "fastcgi/failure_log.hpp"
#include "fastcgi/fastcgi_connection.hpp"
#include "fastcgi/fastcgi_server.hpp"
#include "fastcgi/system_calls.hpp"
#include "request/response.hpp"
#include "zone/zone_cache.hpp"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace pagestamp {

namespace {

// Read once, at the start; a null view when unset.
std::string_view own_variable(const char* name)
{
    const char* const value = std::getenv(name);
    return value != nullptr ? std::string_view(value, std::strlen(value)) : std::string_view();
}

void log_refusal(fastcgi::failure_log& log, bool trusted, zone_status zone)
{
    using fastcgi::failure;
    if (!trusted) {
        fastcgi::log_failure(log, failure::params,
                             "a request's params were cut short, or a value ran past 65535 bytes",
                             sys::monotonic_ms());
    } else if (zone == zone_status::too_long) {
        fastcgi::log_failure(log, failure::zone_too_long, "TZ is longer than a zone may be", sys::monotonic_ms());
    } else {
        fastcgi::log_failure(log, failure::zone_unreadable,
                             "TZ could not be read: no descriptor or memory to spare, or too many zones",
                             sys::monotonic_ms());
    }
}

void log_answer(fastcgi::failure_log& log, int status)
{
    const std::string_view why = failure_reason(status);
    if (!why.empty()) {
        fastcgi::log_failure(log, status == cannot_look_up ? fastcgi::failure::lookup : fastcgi::failure::variables,
                             why, sys::monotonic_ms());
    }
}

} // namespace

int serve_fastcgi()
{
    int stored[fastcgi::max_connections];
    const std::size_t stored_count =
        fastcgi::stored_connections(own_variable("LISTEN_PID"), own_variable("LISTEN_FDS"),
                                    own_variable("LISTEN_FDNAMES"), sys::process_id(), stored, std::size(stored));
    if (!fastcgi::start_server(fastcgi::open_descriptor_store(own_variable("NOTIFY_SOCKET")), stored, stored_count)) {
        return cannot_serve;
    }
    // The responder's own TZ, for requests that name none: read once, as a
    // CGI reads its own at start. Nothing changes the environment after.
    const std::string_view start_zone = own_variable("TZ");
    fastcgi::failure_log log;
    fastcgi::ready_request request;
    while (fastcgi::next_request(request)) {
        // A zone too long to keep, or one we could not read for want of
        // descriptors or room, is refused: a stamp in the wrong zone would
        // be a wrong page.
        const zone_choice zone = find_zone(request.time_zone.data() != nullptr ? request.time_zone : start_zone);
        if (!request.trusted || zone.status != zone_status::found) {
            log_refusal(log, request.trusted, zone.status);
            fastcgi::send_refusal(request, fastcgi::params_refused);
            continue;
        }
        const answer reply = answer_request(request.env, zone.zone);
        log_answer(log, reply.status);
        fastcgi::send_answer(request, fastcgi_response_header, reply.body.view(), reply.status);
    }
    return 0;
}

} // namespace pagestamp
