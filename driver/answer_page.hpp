#pragma once
// What every server's way in does around answer_request: finds the zone its
// TZ names, answers, puts the CR that ends the program's header in front, and
// words what the server's log should say when the zone cannot be had.

#include "driver/answer_request.hpp"
#include "request/request_memory.hpp"
#include "text/fixed_text.hpp"
#include "zone/zone_cache.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp {

// The CR, then a body.
inline constexpr std::size_t page_capacity = 1 + body_text::capacity;

// A line for the server's error log: the TZ is shown cut to 64 bytes, with
// what is not printable escaped.
using zone_complaint = fixed_text<255>;

struct page_answer {
    std::size_t length = 0; // 0: no page, as the zone could not be had
    int status = stamp_written;
    zone_complaint complaint; // empty when there is nothing to log
};

// The page text for `env` with TZ set to `tz` (a null view: unset), written
// into `page` (page_capacity bytes). A zone the cache cannot keep is read into
// `memory`, taken only then, sizeof(zone_info) bytes aligned for any object.
// A zone it cannot have leaves no page rather than one in another zone; each
// kind of failure, and a full cache, is complained of the first time in the
// process only, so that a condition that lasts costs the log one line, not
// one a request.
page_answer answer_page(const request_env& env, std::string_view tz, const request_memory& memory, char* page);

// The same with a zone already read (null: the process's own, through libc).
page_answer answer_page(const request_env& env, const zone_info* zone, char* page);

// Why TZ set to `tz` gives no zone, or that it is not one a configuration
// should name (`found`, but not well formed).
zone_complaint zone_error_text(std::string_view tz, zone_status status);

} // namespace pagestamp
