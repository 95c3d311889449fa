// The FastCGI responder: each request is answered exactly as a CGI run with
// the same variables, by the same function; only the way in and out differs.

#include "fastcgi/responder.hpp"

#include "driver/answer_page.hpp"
#include "fastcgi/failure_log.hpp"
#include "fastcgi/fastcgi_connection.hpp"
#include "fastcgi/connection_loop.hpp"
#include "fastcgi/system_calls.hpp"
#include "request/response.hpp"
#include "zone/zone_info.hpp"

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


// A zone the cache cannot keep is read onto this stack, for this request.
void* take_from_stack(void* room, std::size_t size) { return size <= sizeof(zone_info) ? room : nullptr; }

void log_answer(fastcgi::failure_log& log, int status)
{
    const std::string_view why = failure_reason(status);
    if (!why.empty()) {
        fastcgi::log_failure(log, status == cannot_look_up ? fastcgi::failure::lookup : fastcgi::failure::variables,
                             why, sys::monotonic_ms());
    }
}

void answer_one(const fastcgi::ready_request& request, std::string_view start_zone, fastcgi::failure_log& log)
{
    zone_info spare; // its pages are touched only when the cache is full
    char page[page_capacity];
    const std::string_view zone = request.time_zone.data() != nullptr ? request.time_zone : start_zone;
    const page_answer reply = answer_page(request.env, zone, {take_from_stack, &spare}, page);
    if (!reply.complaint.empty()) {
        fastcgi::log_line(reply.complaint.view()); // told once a process already
    }
    // No page at all rather than one in another zone.
    if (reply.length == 0) {
        fastcgi::send_refusal(request, fastcgi::params_refused);
        return;
    }
    log_answer(log, reply.status);
    fastcgi::send_answer(request, fastcgi_response_header, std::string_view(page, reply.length), reply.status);
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
    fastcgi::failure_log log;
    fastcgi::ready_request request;
    while (fastcgi::next_request(request)) {
        if (!request.trusted) {
            fastcgi::log_failure(log, fastcgi::failure::params,
                                 "a request's params were cut short, or a value ran past 65535 bytes",
                                 sys::monotonic_ms());
            fastcgi::send_refusal(request, fastcgi::params_refused);
            continue;
        }
        answer_one(request, start_zone, log);
    }
    return 0;
}

} // namespace pagestamp
