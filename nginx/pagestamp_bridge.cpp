// The core's side of the module's one call: the include's variables, the same
// answer as every other way in, and the page text as the responder's header
// leaves it in a page: the final CR, then the body.

#include "nginx/pagestamp_bridge.h"

#include "driver/answer_request.hpp"
#include "nginx/include_env.hpp"

#include <cstring>

namespace {

constexpr unsigned char header_end = '\r';
static_assert(1 + pagestamp::body_text::capacity <= PAGESTAMP_PAGE_CAPACITY);

} // namespace

extern "C" std::size_t pagestamp_answer(const pagestamp_include* include, unsigned char* page)
{
    using namespace pagestamp;
    const answer reply = answer_request(include_env(*include));
    if (reply.status == cannot_look_up) {
        return 0;
    }
    page[0] = header_end;
    std::memcpy(page + 1, reply.body.c_str(), reply.body.size());
    return 1 + reply.body.size();
}
