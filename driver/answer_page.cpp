#include "driver/answer_page.hpp"

#include "zone/zone_info.hpp"

#include <atomic>
#include <cstring>
#include <new>

namespace pagestamp {

namespace {

constexpr char header_end = '\r';
constexpr std::size_t shown_tz_bytes = 64;

void append_shown(zone_complaint& text, std::string_view tz)
{
    if (tz.data() == nullptr) {
        text.append("TZ unset (the system's zone, /etc/localtime)");
        return;
    }
    text.append("TZ \"");
    constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < tz.size() && i < shown_tz_bytes; ++i) {
        const auto c = static_cast<unsigned char>(tz[i]);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            const char escaped[4] = {'\\', 'x', digits[c >> 4], digits[c & 15]};
            text.append(std::string_view(escaped, 4));
        } else {
            text.append(static_cast<char>(c));
        }
    }
    text.append(tz.size() > shown_tz_bytes ? "\"..." : "\"");
}

std::string_view reason(zone_status status)
{
    switch (status) {
    case zone_status::found:
        return " is neither a zone file nor a well-formed POSIX rule";
    case zone_status::too_long:
        return " is longer than the 255 bytes a zone may be named in";
    case zone_status::no_resources:
        return " could not be read: no descriptor or memory to spare";
    case zone_status::too_large:
        return " is a zone file with more transitions, types or leap seconds than pagestamp holds";
    case zone_status::not_kept:
        break;
    }
    return ": the zone cache is full, so this zone and every other past the 64th are read for each request";
}

// One flag a kind, a full cache too: set by the first request that meets it.
constinit std::atomic<bool> complained[static_cast<std::size_t>(zone_status::not_kept) + 1] = {};

bool first_time(zone_status status)
{
    return !complained[static_cast<std::size_t>(status)].exchange(true, std::memory_order_relaxed);
}

std::size_t write_page(const answer& reply, char* page)
{
    page[0] = header_end;
    std::memcpy(page + 1, reply.body.c_str(), reply.body.size());
    return 1 + reply.body.size();
}

// The cache's zone, or one read into the request's memory when it is full.
zone_status choose_zone(std::string_view tz, const request_memory& memory, const zone_info*& zone, bool& not_kept)
{
    const zone_choice choice = find_zone(tz);
    zone = choice.zone;
    not_kept = choice.status == zone_status::not_kept;
    if (!not_kept) {
        return choice.status;
    }
    void* const room = memory.take(memory.pool, sizeof(zone_info));
    if (room == nullptr) {
        return zone_status::no_resources;
    }
    auto* const alone = new (room) zone_info;
    const zone_status status = read_zone_alone(tz, *alone);
    zone = status == zone_status::found ? alone : nullptr;
    return status;
}

} // namespace

zone_complaint zone_error_text(std::string_view tz, zone_status status)
{
    zone_complaint text;
    append_shown(text, tz);
    text.append(reason(status));
    return text;
}

page_answer answer_page(const request_env& env, const zone_info* zone, char* page)
{
    const answer reply = answer_request(env, zone);
    page_answer out;
    out.length = write_page(reply, page);
    out.status = reply.status;
    return out;
}

page_answer answer_page(const request_env& env, std::string_view tz, const request_memory& memory, char* page)
{
    const zone_info* zone = nullptr;
    bool not_kept = false;
    const zone_status status = choose_zone(tz, memory, zone, not_kept);
    if (status != zone_status::found) {
        page_answer refused;
        if (first_time(status)) {
            refused.complaint = zone_error_text(tz, status);
        }
        return refused;
    }
    page_answer out = answer_page(env, zone, page);
    if (not_kept && first_time(zone_status::not_kept)) {
        out.complaint = zone_error_text(tz, zone_status::not_kept);
    }
    return out;
}

} // namespace pagestamp
