#pragma once
// The responder's error log is its standard error, which systemd, mod_fcgid
// and spawn-fcgi keep: a line for each request that gets no stamp, saying
// why, as a server tells nothing of a refusal that travels in END_REQUEST.
// Each condition's lines are paced (driver/paced_line.hpp).

#include "driver/paced_line.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp::fastcgi {

// A zone that cannot be had is told once a process, by the zone reader.
enum class failure : unsigned char { params, lookup, variables, count };

struct failure_log {
    paced_line lines[static_cast<std::size_t>(failure::count)];
};

// "pagestamp: WHY" on standard error, as one write (WHY up to 400 bytes).
void log_line(std::string_view why);

// The same, unless this condition had its line in
// the last minute.
void log_failure(failure_log& log, failure which, std::string_view why, long long now_ms);

} // namespace pagestamp::fastcgi
