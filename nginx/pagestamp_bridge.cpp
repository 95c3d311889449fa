// The core's side of the module's one call: the include's variables, the same
// answer as every other way in, and the page text as the responder's header
// leaves it in a page: the final CR, then the body.

#include "nginx/pagestamp_bridge.h"

#include "driver/answer_request.hpp"
#include "nginx/include_env.hpp"
#include "zone/zone_cache.hpp"

#include <cstring>

namespace {

constexpr unsigned char header_end = '\r';
static_assert(PAGESTAMP_CONDITIONS == 2, "a condition for each status failure_reason tells of");
static_assert(1 + pagestamp::body_text::capacity <= PAGESTAMP_PAGE_CAPACITY);

} // namespace

// The zone crosses as an opaque pointer: C never looks inside.
extern "C" const pagestamp_zone* pagestamp_find_zone(const unsigned char* tz, std::size_t len, const char** error)
{
    using namespace pagestamp;
    const zone_choice choice = find_zone({reinterpret_cast<const char*>(tz), len});
    switch (choice.status) {
    case zone_status::found:
        return reinterpret_cast<const pagestamp_zone*>(choice.zone);
    case zone_status::too_long:
        *error = "is longer than a zone may be";
        break;
    case zone_status::no_resources:
        *error = "could not be read: no descriptor or memory to spare, or too many zones";
        break;
    }
    return nullptr;
}

extern "C" std::size_t pagestamp_answer(const pagestamp_include* include, const pagestamp_zone* zone,
                                        const pagestamp_memory* memory, unsigned char* page,
                                        pagestamp_failure* failure)
{
    using namespace pagestamp;
    const request_memory pool{memory->take, memory->pool, memory->give_back};
    request_env env = include_env(*include);
    env.memory = &pool;
    const answer reply = answer_request(env, reinterpret_cast<const zone_info*>(zone));
    page[0] = header_end;
    std::memcpy(page + 1, reply.body.c_str(), reply.body.size());
    // The reasons are literals: NUL-terminated, as nginx's "%s" reads them.
    const std::string_view reason = failure_reason(reply.status);
    failure->condition = reply.status == cannot_look_up ? 0 : reply.status == variables_missing ? 1 : -1;
    failure->text = reason.empty() ? nullptr : reason.data();
    return 1 + reply.body.size();
}
