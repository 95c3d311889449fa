#pragma once
// A request's params stream, decoded record by record as it comes: a pair may
// span records, and so may a length. Only the names an answer reads are
// kept; every other pair is skipped as it passes, so the stream as a whole
// has no limit of ours, only each kept value.

#include "fastcgi/fastcgi_protocol.hpp"
#include "request/request_env.hpp"
#include "text/fixed_text.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pagestamp::fastcgi {

// What each kept value may hold: as much as one record carries. Servers
// take request lines and headers of about 8 KiB, but an include's URI or a
// configured root is not bound by those, and the CGI answers values of any
// length Linux passes. TZ too: the zone reader refuses one past its own
// limit, and says so. The room is address space, not memory: a request
// makes resident only the pages its values fill.
inline constexpr std::size_t value_capacity = max_content;

// The longest kept name, "DOCUMENT_ROOT"; a name that runs past it before
// its NUL is none of ours.
inline constexpr std::size_t longest_kept_name = 13;

// The six of request_env, then TZ.
inline constexpr std::size_t kept_names = 7;

// The values kept, each the last one sent for its name and cut at its NUL,
// one after another in a single text: the few hundred bytes a request sends
// fill one page, not one per name. A name sent again starts a new value at
// the end, so the room is twice every capacity together: no request whose
// values fit their own capacities fills it by sending each name twice.
// DOCUMENT_NAME only needs to be there: nothing prints it, so its value is
// skipped like an unknown name's.
inline constexpr std::size_t kept_bytes_capacity =
    2 * 6 * value_capacity;

struct kept_params {
    kept_params() = default;
    constexpr explicit kept_params(all_zero_t) : bytes(all_zero) {}

    std::uint8_t present = 0;  // a bit per kept name
    std::uint8_t too_long = 0; // a bit per kept name whose last value ran past its capacity
    std::uint32_t start[kept_names] = {};
    std::uint32_t size[kept_names] = {};
    // Last, so that its length, the one byte written at its far end, lies on
    // the page where the next connection begins.
    fixed_text<kept_bytes_capacity> bytes;
};

struct params_reader {
    params_reader() = default;
    constexpr explicit params_reader(all_zero_t) : length_bytes(all_zero), name(all_zero), kept(all_zero) {}

    enum class part : std::uint8_t { name_length, value_length, name, value };
    part at = part::name_length;
    fixed_text<4> length_bytes; // of the length being read, which may span records
    std::uint32_t name_left = 0;  // bytes of the pair's name still to come
    std::uint32_t value_left = 0; // and of its value
    fixed_text<longest_kept_name> name; // up to its NUL
    bool name_ended = false;    // its NUL has come
    bool name_unknown = false;  // it ran past every kept name's length
    std::int8_t value_of = -1;  // the kept name the value being read belongs to, or -1
    bool value_ended = false;   // its NUL has come, or it ran past its capacity
    kept_params kept;
};

// Forgets everything, for a new request.
void start_params(params_reader& reader);

// Takes one params record's content.
void read_params(params_reader& reader, std::string_view content);

// Once the stream has ended: the request's variables and TZ (a null view when
// it sent none). False when a pair was cut off by the end of the stream or a
// kept value ran past its capacity: the request must be refused.
bool kept_request(const params_reader& reader, request_env& env, std::string_view& time_zone);

} // namespace pagestamp::fastcgi
