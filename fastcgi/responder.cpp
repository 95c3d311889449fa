// The FastCGI responder: each request is answered exactly as a CGI run with
// the same variables, by the same function; only the way in and out differs.

#include "fastcgi/responder.hpp"

#include "driver/answer_request.hpp"
#include "fastcgi/fastcgi_connection.hpp"
#include "fastcgi/connection_loop.hpp"
#include "fastcgi/system_calls.hpp"
#include "request/response.hpp"
#include "zone/zone_cache.hpp"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sys/syscall.h>
#include <unistd.h>

namespace pagestamp {

namespace {

// Read once, at the start; a null view when unset.
std::string_view own_variable(const char* name)
{
    const char* const value = std::getenv(name);
    return value != nullptr ? std::string_view(value, std::strlen(value)) : std::string_view();
}

} // namespace

bool take_passed_listener()
{
    const std::string_view listen_pid = own_variable("LISTEN_PID");
    if (listen_pid.empty()) {
        return false; // a CGI's case: one lookup, no system call
    }
    int passed[8];
    const std::size_t count = fastcgi::passed_sockets(listen_pid, own_variable("LISTEN_FDS"),
                                                      own_variable("LISTEN_FDNAMES"), sys::process_id(), passed,
                                                      std::size(passed));
    for (std::size_t k = 0; k < count; ++k) {
        if (sys::is_listening(passed[k]) && syscall(SYS_dup3, passed[k], 0, 0) == 0) {
            sys::close_fd(passed[k]);
            return true;
        }
    }
    return false;
}

int run_responder()
{
    // All of them, so that those past the table's room are closed, not left open.
    static int stored[fastcgi::most_passed];
    const std::size_t stored_count =
        fastcgi::stored_connections(own_variable("LISTEN_PID"), own_variable("LISTEN_FDS"),
                                    own_variable("LISTEN_FDNAMES"), sys::process_id(), stored, std::size(stored));
    if (!fastcgi::start_server(fastcgi::open_descriptor_store(own_variable("NOTIFY_SOCKET")), stored, stored_count)) {
        return cannot_serve;
    }
    // The responder's own TZ, for requests that name none: read once, as a
    // CGI reads its own at start. Nothing changes the environment after.
    const std::string_view start_zone = own_variable("TZ");
    fastcgi::ready_request request;
    while (fastcgi::next_request(request)) {
        // A zone too long to keep, or one we could not read for want of
        // descriptors or room, is refused: a stamp in the wrong zone would
        // be a wrong page.
        const zone_choice zone = find_zone(request.time_zone.data() != nullptr ? request.time_zone : start_zone);
        if (!request.trusted || zone.status != zone_status::found) {
            fastcgi::send_refusal(request, fastcgi::params_refused);
            continue;
        }
        const answer reply = answer_request(request.env, zone.zone);
        fastcgi::send_answer(request, fastcgi_response_header, reply.body.view(), reply.status);
    }
    return 0;
}

} // namespace pagestamp
