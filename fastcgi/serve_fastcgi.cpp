// The FastCGI responder: each request is answered exactly as a CGI run with
// the same variables, by the same function; only the way in and out differs.

#include "fastcgi/serve_fastcgi.hpp"

#include "driver/answer_request.hpp"
#include "fastcgi/fastcgi_connection.hpp"
#include "fastcgi/fastcgi_server.hpp"
#include "request/response.hpp"
#include "request/time_zone.hpp"

namespace pagestamp {

int serve_fastcgi()
{
    if (!fastcgi::start_server()) {
        return cannot_serve;
    }
    remember_start_zone();
    fastcgi::ready_request request;
    while (fastcgi::next_request(request)) {
        if (!request.trusted || !use_time_zone(request.time_zone)) {
            fastcgi::send_refusal(request, fastcgi::params_refused);
            continue;
        }
        const answer reply = answer_request(request.env, nullptr);
        if (reply.status == cannot_look_up) {
            fastcgi::send_refusal(request, reply.status);
            continue;
        }
        fastcgi::send_answer(request, fastcgi_response_header, reply.body.view(), reply.status);
    }
    return 0;
}

} // namespace pagestamp
