#include "request/time_zone.hpp"

#include "text/fixed_text.hpp"

#include <cstdlib>
#include <ctime>

namespace pagestamp {

namespace {

using zone_text = fixed_text<time_zone_capacity>;

// "TZ=<zone>", our own storage, handed to putenv and rewritten in place:
// setenv would allocate a new string for every zone ever asked for.
constinit fixed_text<3 + time_zone_capacity> tz_entry{all_zero};
bool entry_in_environment = false;

constinit zone_text start_zone{all_zero};
bool start_zone_set = false;

// What the environment says now: set or not, and to what.
bool zone_set = false;
constinit zone_text zone_now{all_zero};

} // namespace

void remember_start_zone()
{
    const char* zone = std::getenv("TZ");
    start_zone_set = zone != nullptr && start_zone.append(zone);
    zone_set = start_zone_set;
    zone_now = start_zone;
}

bool use_time_zone(std::string_view zone)
{
    const bool wanted_set = zone.data() != nullptr || start_zone_set;
    const std::string_view wanted = zone.data() != nullptr ? zone : start_zone.view();
    if (wanted.size() > zone_text::capacity) {
        return false;
    }
    if (wanted_set == zone_set && (!wanted_set || same_text(wanted, zone_now.view()))) {
        return true; // localtime_r reads TZ only when tzset says so: skip it
    }
    if (!wanted_set) {
        // glibc's putenv takes a name without "=" as unsetenv: one import fewer.
        static char tz_name[] = "TZ";
        putenv(tz_name);
        entry_in_environment = false;
    } else {
        tz_entry.clear();
        tz_entry.append("TZ=");
        tz_entry.append(wanted);
        if (!entry_in_environment) {
            putenv(tz_entry.bytes);
            entry_in_environment = true;
        }
    }
    zone_set = wanted_set;
    zone_now.clear();
    zone_now.append(wanted);
    // localtime_r does not look at TZ again by itself.
    tzset();
    return true;
}

} // namespace pagestamp
