#include "zone/zone_source.hpp"

#include "zone/zone_file.hpp"
#include "text/fixed_text.hpp"

namespace pagestamp {

namespace {

constexpr std::string_view zone_directory = "/usr/share/zoneinfo/";
constexpr std::string_view system_zone = "/etc/localtime";

enum class file_zone { loaded, absent, no_resources, too_large };

file_zone load_file(std::string_view name, zone_info& zone, char* buffer, std::size_t room)
{
    fixed_text<zone_directory.size() + zone_name::capacity> path;
    if (name.empty() || (name[0] != '/' && !path.append(zone_directory)) || !path.append(name)) {
        return file_zone::absent;
    }
    std::size_t length = 0;
    switch (read_zone_file(path.c_str(), buffer, room, length)) {
    case file_result::read:
        break;
    case file_result::unusable:
        return file_zone::absent;
    case file_result::no_resources:
        return file_zone::no_resources;
    case file_result::too_large:
        return file_zone::too_large;
    }
    switch (parse_tzif(std::string_view(buffer, length), zone)) {
    case tzif_result::parsed:
        return file_zone::loaded;
    case tzif_result::rejected:
        return file_zone::absent;
    case tzif_result::too_large:
        break;
    }
    return file_zone::too_large;
}

// "std offset dst" with no rule: the posixrules file's transitions, if it
// has them; the rule's own defaults otherwise.
zone_load load_posix_zone(std::string_view tz, zone_info& zone, char* buffer, std::size_t room)
{
    use_posix_zone(tz, zone);
    if (!zone.rule.wants_default_rules) {
        return zone_load::loaded;
    }
    const posix_zone asked = zone.rule;
    switch (load_file("posixrules", zone, buffer, room)) {
    case file_zone::loaded:
        if (use_default_rules(zone, asked)) {
            return zone_load::loaded;
        }
        break;
    case file_zone::absent:
        break;
    case file_zone::no_resources:
        return zone_load::no_resources;
    case file_zone::too_large:
        return zone_load::too_large;
    }
    use_posix_zone(tz, zone);
    return zone_load::loaded;
}

} // namespace

zone_load load_zone(std::string_view tz, zone_info& zone, char* buffer, std::size_t room)
{
    std::string_view name = tz.data() == nullptr ? system_zone : tz;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\0') {
            name = text_before(name, i); // where an environment's string would end
        }
    }
    if (!name.empty() && name[0] == ':') {
        name = text_from(name, 1); // "implementation defined": glibc tries a file, then the rule
    }
    if (name.empty()) {
        name = "Universal";
    }
    switch (load_file(name, zone, buffer, room)) {
    case file_zone::loaded:
        return zone_load::loaded;
    case file_zone::no_resources:
        return zone_load::no_resources;
    case file_zone::too_large:
        return zone_load::too_large;
    case file_zone::absent:
        break;
    }
    if (same_text(name, system_zone)) {
        use_posix_zone("UTC0", zone); // the system's zone is missing: glibc's UTC
        return zone_load::loaded;
    }
    return load_posix_zone(name, zone, buffer, room);
}

} // namespace pagestamp
