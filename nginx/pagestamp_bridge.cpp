// The core's side of the module's one call: the include's variables, the same
// answer as every other way in, and the page text as the responder's header
// leaves it in a page: the final CR, then the body; and the zones a
// configuration names.

#include "nginx/pagestamp_bridge.h"

#include "driver/answer_page.hpp"
#include "driver/paced_line.hpp"
#include "nginx/include_env.hpp"
#include "request/locate_document.hpp"
#include "zone/zone_cache.hpp"
#include "zone/zone_info.hpp"

#include <cstring>
#include <new>

static_assert(PAGESTAMP_CONDITIONS == 2, "a condition for each status failure_reason tells of");
static_assert(1 + pagestamp::body_text::capacity <= PAGESTAMP_PAGE_CAPACITY);
static_assert(pagestamp::zone_complaint::capacity < PAGESTAMP_ERROR_CAPACITY);

extern "C" std::size_t pagestamp_zone_size(void) { return sizeof(pagestamp::zone_info); }

// Read afresh for each configuration, never from the process's cache, so a
// reload sees the zone files as they are now and reloads never run out of
// room. The zone crosses as an opaque pointer: C never looks inside.
extern "C" const pagestamp_zone* pagestamp_read_zone(const unsigned char* tz, std::size_t len, void* memory,
                                                     char* error)
{
    using namespace pagestamp;
    const std::string_view value(reinterpret_cast<const char*>(tz), len);
    auto* const zone = new (memory) zone_info;
    const zone_status status = read_zone_alone(value, *zone);
    if (status == zone_status::found && zone->well_formed) {
        return reinterpret_cast<const pagestamp_zone*>(zone);
    }
    const zone_complaint complaint = zone_error_text(value, status);
    std::memcpy(error, complaint.c_str(), complaint.size() + 1);
    return nullptr;
}

namespace {

pagestamp::paced_line failure_lines[PAGESTAMP_CONDITIONS];

} // namespace

extern "C" int pagestamp_line_due(const pagestamp_failure* failure, long long now, unsigned long long* held)
{
    const int c = failure->condition;
    if (c < 0 || c >= PAGESTAMP_CONDITIONS || failure->text == nullptr) {
        return 0;
    }
    return pagestamp::line_due(failure_lines[c], now, *held) ? 1 : 0;
}

extern "C" int pagestamp_names_user(const pagestamp_include* include)
{
    return pagestamp::names_user(pagestamp::include_env(*include)) ? 1 : 0;
}

extern "C" std::size_t pagestamp_answer(const pagestamp_include* include, const pagestamp_zone* zone,
                                        const pagestamp_memory* memory, unsigned char* page,
                                        pagestamp_failure* failure)
{
    using namespace pagestamp;
    request_env env = include_env(*include);
    // No memory: a thread of nginx's pool, whose stack has room for the
    // largest entry, as the CGI's has.
    const request_memory pool = memory != nullptr ? request_memory{memory->take, memory->pool, memory->give_back}
                                                  : request_memory{};
    env.memory = memory != nullptr ? &pool : nullptr;
    const page_answer reply = answer_page(env, reinterpret_cast<const zone_info*>(zone), reinterpret_cast<char*>(page));
    // The reasons are literals: NUL-terminated, as nginx's "%s" reads them.
    const std::string_view reason = failure_reason(reply.status);
    failure->condition = reply.status == cannot_look_up ? 0 : reply.status == variables_missing ? 1 : -1;
    failure->text = reason.empty() ? nullptr : reason.data();
    return reply.length;
}
