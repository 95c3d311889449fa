#pragma once
// Drives one connection's state machine the way the responder's loop does,
// with no socket: the peer's bytes go in a chunk at a time, every ready
// request is answered with a fixed page (or refused, as the responder refuses
// params it cannot trust), and every byte it replies with is collected.

#include "fastcgi/fastcgi_connection.hpp"

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fastcgi_peer {

struct fixed_answer {
    std::string_view header;
    std::string_view body;
    int status;
};

struct drive_result {
    std::string replies;
    bool closed = false;
    bool stalled = false; // waited for input it had no room to take
};

// Chunk sizes are used in turn; 0, or none at all, means as much as fits.
// `seen` is told each trusted request before it is answered.
inline drive_result drive(pagestamp::fastcgi::connection& c, std::string_view stream,
                          const std::vector<std::size_t>& chunks, const fixed_answer& page,
                          const std::function<void(const pagestamp::request_env&, std::string_view)>& seen = {})
{
    namespace fcgi = pagestamp::fastcgi;
    fcgi::reset(c);
    drive_result result;
    std::size_t fed = 0;
    std::size_t turn = 0;
    for (;;) {
        const fcgi::progress done = fcgi::handle_input(c);
        if (done == fcgi::progress::request_ready) {
            pagestamp::request_env env;
            std::string_view zone;
            if (fcgi::read_request(c, env, zone)) {
                if (seen) {
                    seen(env, zone);
                }
                fcgi::answer(c, page.header, page.body, page.status);
            } else {
                fcgi::refuse(c, fcgi::params_refused);
            }
            continue;
        }
        result.replies.append(c.output.view());
        c.output.clear();
        if (done == fcgi::progress::close) {
            result.closed = true;
            return result;
        }
        if (done == fcgi::progress::need_output) {
            continue;
        }
        if (fed == stream.size()) {
            return result;
        }
        if (c.input.room() == 0) {
            result.stalled = true;
            return result;
        }
        const std::size_t wanted = chunks.empty() ? 0 : chunks[turn++ % chunks.size()];
        std::size_t size = std::min(stream.size() - fed, c.input.room());
        if (wanted != 0) {
            size = std::min(size, wanted);
        }
        c.input.append(stream.substr(fed, size));
        fed += size;
    }
}

} // namespace fastcgi_peer
