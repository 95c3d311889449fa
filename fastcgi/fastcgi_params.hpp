#pragma once
// A request's params stream, decoded record by record as it comes: a pair may
// span records, and so may a length. Only the names an answer reads are
// kept; every other pair is skipped as it passes, so the stream as a whole
// has no limit of ours, only each kept value.

#include "request/request_env.hpp"
#include "request/time_zone.hpp"
#include "text/fixed_text.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pagestamp::fastcgi {

// %SN prints it; a host name has at most 253 bytes.
inline constexpr std::size_t server_name_capacity = 255;
// DOCUMENT_ROOT, DOCUMENT_URI and PATH_INFO end up in a file path of at most
// 1023 bytes, from which a user's part ("/~" and a name of up to 255) is all
// a document path can lose on the way: a longer value names no file.
inline constexpr std::size_t path_value_capacity = 2047;
// As long as a server takes a request line (8190 bytes in Apache, 8 KiB in
// nginx), and twice what the 4094-byte body can print.
inline constexpr std::size_t query_string_capacity = 8191;

// The longest kept name, "DOCUMENT_ROOT"; a name that runs past it before
// its NUL is none of ours.
inline constexpr std::size_t longest_kept_name = 13;

// The values kept, each the last one sent for its name and cut at its NUL.
// DOCUMENT_NAME only needs to be there: nothing prints it, so its value is
// skipped like an unknown name's.
struct kept_params {
    kept_params() = default;
    constexpr explicit kept_params(all_zero_t)
        : server_name(all_zero), document_root(all_zero), document_uri(all_zero), path_info(all_zero),
          query_string(all_zero), time_zone(all_zero)
    {
    }

    fixed_text<server_name_capacity> server_name;
    fixed_text<path_value_capacity> document_root;
    fixed_text<path_value_capacity> document_uri;
    fixed_text<path_value_capacity> path_info;
    fixed_text<query_string_capacity> query_string;
    fixed_text<time_zone_capacity> time_zone;
    std::uint8_t present = 0;   // a bit per kept name
    std::uint8_t too_long = 0;  // a bit per kept name whose last value ran past its capacity
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
