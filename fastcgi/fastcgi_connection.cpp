#include "fastcgi/fastcgi_connection.hpp"

#include <array>
#include <new>

namespace pagestamp::fastcgi {

namespace {

// Callers have checked that the output has room for largest_reply.
void put_record(connection& c, unsigned char type, std::uint16_t id, std::string_view first,
                std::string_view second = {})
{
    char header[header_size];
    const std::size_t padding = write_header(header, type, id, first.size() + second.size());
    c.output.append(std::string_view(header, header_size));
    c.output.append(first);
    c.output.append(second);
    c.output.append(std::string_view("\0\0\0\0\0\0\0", padding));
}

void put_end_request(connection& c, std::uint16_t id, int status, unsigned char protocol_status)
{
    const auto app = static_cast<std::uint32_t>(status);
    const unsigned char body[8] = {static_cast<unsigned char>(app >> 24U), static_cast<unsigned char>(app >> 16U),
                                   static_cast<unsigned char>(app >> 8U),  static_cast<unsigned char>(app),
                                   protocol_status, 0, 0, 0};
    put_record(c, end_request, id, std::string_view(reinterpret_cast<const char*>(body), sizeof body));
}

void finish_request(connection& c)
{
    if (!c.keep_conn) {
        c.close_when_sent = true;
    }
    c.request_id = 0;
}

void begin(connection& c, const record_header& header, std::string_view content)
{
    if (content.size() < 8 || header.request_id == c.request_id) {
        c.broken = true; // too short to be a begin-request, or one begun twice
        return;
    }
    if (c.request_id != 0) {
        put_end_request(c, header.request_id, 0, cant_mpx_conn);
        return;
    }
    const unsigned role = byte_at(content, 0) << 8U | byte_at(content, 1);
    const bool keep = (byte_at(content, 2) & keep_conn) != 0;
    if (role != responder) {
        put_end_request(c, header.request_id, 0, unknown_role);
        c.close_when_sent = !keep;
        return;
    }
    c.request_id = header.request_id;
    c.keep_conn = keep;
    c.params_done = c.stdin_done = false;
    start_params(c.params);
}

// The three values a server may ask about; the answers never change.
void answer_get_values(connection& c, std::string_view content)
{
    static constexpr std::array<name_value, 3> known{{
        {"FCGI_MAX_CONNS", "256"},
        {"FCGI_MAX_REQS", "256"},
        {"FCGI_MPXS_CONNS", "0"},
    }};
    static_assert(max_connections == 256, "FCGI_MAX_CONNS must tell the table's size");
    fixed_text<64> result;
    bool told[known.size()] = {};
    std::size_t at = 0;
    name_value asked;
    bool malformed = false;
    while (next_pair(content, at, asked, malformed)) {
        for (std::size_t i = 0; i < known.size(); ++i) {
            if (same_text(asked.name, known[i].name) && !told[i]) {
                told[i] = true;
                result.append(static_cast<char>(known[i].name.size()));
                result.append(static_cast<char>(known[i].value.size()));
                result.append(known[i].name);
                result.append(known[i].value);
            }
        }
    }
    put_record(c, get_values_result, 0, result.view());
}

void put_unknown_type(connection& c, unsigned char type)
{
    const char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
    put_record(c, unknown_type, 0, std::string_view(body, sizeof body));
}

void handle_record(connection& c, const record_header& header, std::string_view content)
{
    const bool ours = header.request_id != 0 && header.request_id == c.request_id;
    if (header.request_id == 0) {
        if (header.type == get_values) {
            answer_get_values(c, content);
        } else {
            put_unknown_type(c, header.type);
        }
    } else if (header.type == begin_request) {
        begin(c, header, content);
    } else if (header.type == abort_request) {
        if (ours) {
            put_end_request(c, c.request_id, 0, request_complete);
            finish_request(c);
        }
    } else if (header.type == params) {
        if (ours && !c.params_done) {
            c.params_done = content.empty();
            read_params(c.params, content);
        }
    } else if (header.type == stdin_stream) {
        // Read and thrown away: a stamp has no use for a request body.
        if (ours) {
            c.stdin_done = c.stdin_done || content.empty();
        }
    } else if (header.type != data) {
        // Records of other requests are ignored; a type we never receive is not.
        put_unknown_type(c, header.type);
    }
}

} // namespace

void reset(connection& c) { new (&c) connection; }

progress handle_input(connection& c)
{
    std::size_t at = 0;
    progress result = progress::need_input;
    for (;;) {
        if (c.broken || c.close_when_sent) {
            result = progress::close;
            break;
        }
        if (c.request_ready()) {
            result = progress::request_ready;
            break;
        }
        const std::string_view pending = text_from(c.input.view(), at);
        record_header header;
        if (!read_header(pending, header)) {
            break;
        }
        // Judged on its header alone: a peer that speaks another version, or
        // no FastCGI at all ("GET / HTTP/1.1"), will never send a record we
        // could take, however long we wait for the rest of this one.
        if (header.version != version_1) {
            c.broken = true;
            continue;
        }
        if (pending.size() < header.record_size()) {
            break;
        }
        if (c.output.room() < largest_reply) {
            result = progress::need_output;
            break;
        }
        handle_record(c, header, std::string_view(pending.data() + header_size, header.content_length));
        at += header.record_size();
    }
    // Once, not per record: a stream of tiny records must not cost a move each.
    c.input.drop_front(at);
    return result;
}

bool read_request(const connection& c, request_env& env, std::string_view& time_zone)
{
    return kept_request(c.params, env, time_zone);
}

void answer(connection& c, std::string_view header, std::string_view body, int status)
{
    put_record(c, stdout_stream, c.request_id, header, body);
    put_record(c, stdout_stream, c.request_id, {});
    put_end_request(c, c.request_id, status, request_complete);
    finish_request(c);
}

void refuse(connection& c, int status)
{
    put_record(c, stdout_stream, c.request_id, {});
    put_end_request(c, c.request_id, status, request_complete);
    finish_request(c);
}

} // namespace pagestamp::fastcgi
