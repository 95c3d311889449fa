#pragma once
// FastCGI records as a peer writes and reads them, built with std::string and
// nothing of the program's own, so that a test or the fuzz target compares the
// responder's bytes with an encoding it did not write.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fastcgi_peer {

enum : unsigned {
    begin_type = 1, abort_type = 2, end_type = 3, params_type = 4, stdin_type = 5, stdout_type = 6,
    data_type = 8, get_values_type = 9, get_values_result_type = 10, unknown_type_type = 11,
};
enum : unsigned { request_complete = 0, cant_mpx_conn = 1, unknown_role = 3 };

inline char byte(unsigned value) { return static_cast<char>(value & 0xffU); }
inline unsigned byte_at(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

// Appends a record, padded to a multiple of 8 as the responder pads its own.
inline void put_record(std::string& out, unsigned type, unsigned id, std::string_view content, unsigned version = 1)
{
    const std::size_t padding = (8 - content.size() % 8) % 8;
    const char header[8] = {byte(version), byte(type), byte(id >> 8), byte(id),
                            byte(static_cast<unsigned>(content.size() >> 8)), byte(static_cast<unsigned>(content.size())),
                            byte(static_cast<unsigned>(padding)), 0};
    out.append(header, sizeof header);
    out.append(content);
    out.append(padding, '\0');
}

inline std::string record(unsigned type, unsigned id, std::string_view content, unsigned version = 1)
{
    std::string bytes;
    put_record(bytes, type, id, content, version);
    return bytes;
}

inline std::string length(std::size_t n)
{
    if (n < 128) {
        return {byte(static_cast<unsigned>(n))};
    }
    const auto v = static_cast<std::uint32_t>(n);
    return {byte(v >> 24 | 0x80U), byte(v >> 16), byte(v >> 8), byte(v)};
}

using pair_list = std::vector<std::pair<std::string, std::string>>;

inline std::string pairs(const pair_list& list)
{
    std::string bytes;
    for (const auto& [name, value] : list) {
        bytes += length(name.size()) + length(value.size()) + name + value;
    }
    return bytes;
}

// A stream in records of at most `most` bytes, then the empty record ending it.
inline std::string stream(unsigned type, unsigned id, std::string_view content, std::size_t most = 0xffff)
{
    std::string bytes;
    for (std::size_t at = 0; at < content.size(); at += most) {
        put_record(bytes, type, id, content.substr(at, most));
    }
    return bytes + record(type, id, {});
}

inline std::string begin(unsigned id, unsigned role = 1, bool keep_conn = false)
{
    return record(begin_type, id, std::string{byte(role >> 8), byte(role), keep_conn ? '\1' : '\0', 0, 0, 0, 0, 0});
}

inline std::string request(unsigned id, std::string_view params, bool keep_conn = false,
                           std::size_t params_record = 0xffff)
{
    return begin(id, 1, keep_conn) + stream(params_type, id, params, params_record) + stream(stdin_type, id, {});
}

// The bodies of an end-request and of an unknown-type record.
inline std::string end_body(std::uint32_t app_status, unsigned protocol_status)
{
    return {byte(app_status >> 24), byte(app_status >> 16), byte(app_status >> 8), byte(app_status),
            byte(protocol_status), 0, 0, 0};
}
inline std::string unknown_type_body(unsigned type) { return {byte(type), 0, 0, 0, 0, 0, 0, 0}; }

inline std::string end_request(unsigned id, std::uint32_t app_status, unsigned protocol_status)
{
    return record(end_type, id, end_body(app_status, protocol_status));
}

// What a whole answer looks like: the page, the end of stdout, the end-request.
inline std::string answered(unsigned id, std::string_view page, std::uint32_t app_status)
{
    return record(stdout_type, id, page) + record(stdout_type, id, {}) + end_request(id, app_status, request_complete);
}

inline std::string unknown_type(unsigned type) { return record(unknown_type_type, 0, unknown_type_body(type)); }

struct parsed_record {
    unsigned version, type, id;
    std::string_view content; // a view of the bytes split
};

// The whole records at the front of `bytes`; `rest` is what is left over.
inline std::vector<parsed_record> split_records(std::string_view bytes, std::string_view* rest = nullptr)
{
    std::vector<parsed_record> records;
    while (bytes.size() >= 8) {
        const std::size_t content = byte_at(bytes, 4) << 8 | byte_at(bytes, 5);
        const std::size_t whole = 8 + content + byte_at(bytes, 6);
        if (bytes.size() < whole) {
            break;
        }
        records.push_back({byte_at(bytes, 0), byte_at(bytes, 1), byte_at(bytes, 2) << 8 | byte_at(bytes, 3),
                           bytes.substr(8, content)});
        bytes.remove_prefix(whole);
    }
    if (rest != nullptr) {
        *rest = bytes;
    }
    return records;
}

} // namespace fastcgi_peer
