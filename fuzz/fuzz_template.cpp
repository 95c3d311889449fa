// Template expansion against an independent model: arbitrary templates and
// arbitrary stamp facts, including broken-down times localtime never makes.
//
// The model keeps a std::string and formats numbers with snprintf, so it
// shares nothing with the program's fixed texts but the month and weekday
// names.

#include "fuzz_text.hpp"

#include "stamp/default_stamp.hpp"
#include "stamp/expand_template.hpp"
#include "stamp/name_tables.hpp"
#include "stamp/size_text.hpp"
#include "stamp/stamp_facts.hpp"

#include <array>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

namespace {

using fuzzing::check;

constexpr std::size_t body_capacity = 4094;

std::string digits(std::int64_t value, int at_least = 1)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*" PRId64, at_least, value);
    return text;
}

template <std::size_t N>
std::string name_or_nothing(const std::array<std::string_view, N>& names, int index)
{
    return index >= 0 && index < static_cast<int>(N) ? std::string(names[static_cast<std::size_t>(index)])
                                                      : std::string();
}

// size / unit as printf rounds an exact binary value, one decimal when more
// than 99 bytes remain under the unit.
std::string scaled(std::int32_t size, std::int32_t unit)
{
    char text[32];
    const double value = static_cast<double>(size) / unit;
    std::snprintf(text, sizeof text, size % unit > 99 ? "%.1f" : "%.0f", value);
    return text;
}

std::string auto_size(std::int32_t size)
{
    if (size < 1024) {
        return digits(size) + " bytes";
    }
    if (size >= 1024 * 1024 * 1024) {
        return scaled(size, 1024 * 1024 * 1024) + "G";
    }
    if (size >= 1024 * 1024) {
        return scaled(size, 1024 * 1024) + "M";
    }
    return scaled(size, 1024) + "k";
}

// What strftime calls the zone, given all the room it wants; the platform
// decides what a record with no abbreviation of its own gets.
std::string zone_or_nothing(const std::tm& time)
{
    char zone[256];
    const std::size_t length = std::strftime(zone, sizeof zone, "%Z", &time);
    return length <= 19 ? std::string(zone, length) : std::string();
}

struct model_facts {
    std::tm time{};
    std::string zone;
    std::int32_t size = 0;
    std::string doc_dir;
    std::string doc_file;
    std::string root;
    std::string server;
};

using model_table = std::array<std::pair<std::string_view, std::string>, 36>;

model_table model_values(const model_facts& f)
{
    const std::tm& t = f.time;
    const std::int64_t year = std::int64_t{t.tm_year} + 1900;
    const std::int64_t hour12 = t.tm_hour == 0 ? 12 : t.tm_hour > 12 ? t.tm_hour - 12 : t.tm_hour;
    const bool pm = t.tm_hour > 11;
    return {{
        {"WS", name_or_nothing(pagestamp::weekday_short_names, t.tm_wday)},
        {"WL", name_or_nothing(pagestamp::weekday_long_names, t.tm_wday)},
        {"WN", digits(std::int64_t{t.tm_wday} + 1)},
        {"WP", digits(std::int64_t{t.tm_wday} + 1, 2)},
        {"MS", name_or_nothing(pagestamp::month_short_names, t.tm_mon)},
        {"ML", name_or_nothing(pagestamp::month_long_names, t.tm_mon)},
        {"MN", digits(std::int64_t{t.tm_mon} + 1)},
        {"MP", digits(std::int64_t{t.tm_mon} + 1, 2)},
        {"DM", digits(t.tm_mday)},
        {"DP", digits(t.tm_mday, 2)},
        {"Y2", digits(year).size() > 2 ? digits(year).substr(2) : std::string()},
        {"Y4", digits(year)},
        {"YD", digits(t.tm_yday)},
        {"YP", digits(t.tm_yday, 3)},
        {"H1", digits(hour12)},
        {"P1", digits(hour12, 2)},
        {"H2", digits(t.tm_hour)},
        {"P2", digits(t.tm_hour, 2)},
        {"MM", digits(t.tm_min)},
        {"PM", digits(t.tm_min, 2)},
        {"SS", digits(t.tm_sec)},
        {"PS", digits(t.tm_sec, 2)},
        {"A1", pm ? "pm" : "am"},
        {"A2", pm ? "PM" : "AM"},
        {"A3", pm ? "p.m." : "a.m."},
        {"A4", pm ? "P.M." : "A.M."},
        {"TZ", zone_or_nothing(t)},
        {"SA", auto_size(f.size)},
        {"SB", digits(f.size)},
        {"SK", scaled(f.size, 1024)},
        {"SM", scaled(f.size, 1024 * 1024)},
        {"SG", scaled(f.size, 1024 * 1024 * 1024)},
        {"FN", f.doc_file},
        {"FP", f.doc_dir},
        {"DR", f.root},
        {"SN", f.server},
    }};
}

std::optional<std::string_view> model_value(std::string_view code, const model_table& values)
{
    for (const auto& [name, value] : values) {
        if (name == code) {
            return value;
        }
    }
    return std::nullopt;
}

bool upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

std::string model_expand(std::string_view text, const model_facts& facts)
{
    const model_table values = model_values(facts);
    std::string out;
    const auto piece = [&out](std::string_view p) {
        if (out.size() + p.size() <= body_capacity) {
            out += p;
        }
    };
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '+') {
            piece(" ");
            ++i;
        } else if (text[i] != '%') {
            piece(text.substr(i, 1));
            ++i;
        } else if (text.size() - i < 3) {
            piece(text.substr(i));
            i = text.size();
        } else {
            const std::string_view code = text.substr(i + 1, 2);
            if (const auto value = model_value(code, values)) {
                piece(*value);
            } else if (upper_hex(code[0]) && upper_hex(code[1])) {
                const char byte = static_cast<char>(hex_value(code[0]) * 16 + hex_value(code[1]));
                piece(byte == '\0' ? std::string_view() : std::string_view(&byte, 1));
            } else {
                piece(text.substr(i, 3));
            }
            i += 3;
        }
    }
    return out;
}

std::tm consume_time(FuzzedDataProvider& data, std::string& zone)
{
    std::tm time{};
    if (data.ConsumeBool()) {
        // What localtime makes of any moment it accepts.
        const auto moment = data.ConsumeIntegral<std::int64_t>();
        const std::time_t when = moment;
        if (localtime_r(&when, &time) != nullptr) {
            zone = time.tm_zone != nullptr ? time.tm_zone : "";
            time.tm_zone = zone.c_str();
            return time;
        }
    }
    time.tm_sec = data.ConsumeIntegral<int>();
    time.tm_min = data.ConsumeIntegral<int>();
    time.tm_hour = data.ConsumeIntegral<int>();
    time.tm_mday = data.ConsumeIntegral<int>();
    time.tm_mon = data.ConsumeIntegral<int>();
    time.tm_year = data.ConsumeIntegral<int>();
    time.tm_wday = data.ConsumeIntegral<int>();
    time.tm_yday = data.ConsumeIntegral<int>();
    time.tm_isdst = data.ConsumeIntegralInRange<int>(-1, 1);
    zone = fuzzing::env_value(data, 40);
    time.tm_zone = zone.c_str();
    return time;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    model_facts model;
    model.time = consume_time(data, model.zone);
    model.size = data.ConsumeIntegral<std::int32_t>();
    model.doc_dir = fuzzing::env_value(data, 300);
    model.doc_file = fuzzing::env_value(data, 300);
    model.root = fuzzing::env_value(data, 5000);
    model.server = fuzzing::env_value(data, 5000);
    const std::string text = fuzzing::env_rest(data);

    pagestamp::file_status status;
    status.size = model.size;
    status.mtime = model.time;
    status.zone = pagestamp::zone_text_of(model.time);
    pagestamp::request_env env;
    env.document_root = model.root;
    env.server_name = model.server;
    pagestamp::doc_location where;
    where.doc_dir = model.doc_dir;
    where.doc_file = model.doc_file;
    const pagestamp::stamp_facts facts = pagestamp::collect_stamp_facts(status, env, where);

    const pagestamp::body_text body = pagestamp::expand_template(text, facts);
    check(body.size() <= body_capacity, "body within 4094");
    check(std::strlen(body.c_str()) <= body.size(), "body terminated");
    if (text.find('%') == std::string::npos) {
        check(body.view() == fuzzing::plus_as_space(text).substr(0, body_capacity),
              "a template without % prints itself with + as space", body.view());
    }
    const std::string expected = model_expand(text, model);
    check(body.view() == expected, "expansion matches the model",
          "model:   " + expected + "\nprogram: " + std::string(body.view()));

    const pagestamp::body_text plain = pagestamp::default_stamp(status.mtime);
    const std::string plain_expected = digits(std::int64_t{model.time.tm_year} + 1900) + "-" +
                                       digits(std::int64_t{model.time.tm_mon} + 1) + "-" +
                                       digits(model.time.tm_mday);
    check(plain.view() == plain_expected, "default stamp is year-month-day", plain_expected);

    const pagestamp::size_text sized = pagestamp::auto_size_text(model.size);
    check(sized.view() == auto_size(model.size), "size text matches printf", auto_size(model.size));
    return 0;
}
