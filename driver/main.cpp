// pagestamp: one server-side-include request in, one stamp out.
// It never reads its arguments or standard input: a server passes a query
// string without "=" as command-line words, and those are not ours to trust.
// Started on a listening socket instead, it is a FastCGI responder.

#include "driver/answer_request.hpp"
#include "fastcgi/responder.hpp"
#include "fastcgi/connection_loop.hpp"
#include "request/request_env.hpp"
#include "request/response.hpp"

int main()
{
    using namespace pagestamp;

    if (fastcgi::listening_on_stdin() || take_passed_listener()) {
        return run_responder();
    }
    // The CGI's zone is its own TZ, through libc: nothing to read before it is needed.
    const answer reply = answer_request(read_request_env(), nullptr);
    return write_response(reply.body) ? reply.status : output_failed;
}
