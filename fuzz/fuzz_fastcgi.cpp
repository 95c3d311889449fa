// One FastCGI connection's byte stream, fed to the state machine in chunks the
// input chooses, every ready request answered with a fixed page. What comes
// back must be byte for byte what a model of the protocol, written here over
// std::string, says the peer asked for: an end-request for each request begun,
// with its status, unknown-type echoes, get-values results, and nothing else;
// it must close exactly when the model does, and hand each request the
// variables the model reads from its params.

#include "fuzz_text.hpp"
#include "support/fastcgi_drive.hpp"
#include "support/fastcgi_records.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace fastcgi_peer;
using fuzzing::check;

constexpr fixed_answer page{"Content-type: text/plain\r\n\r\n\r", "fixed body", 0x01020304};
// The longest value kept of each name an answer reads; other names, and the
// params as a whole, have no limit.
const std::map<std::string, std::size_t> value_limits = {
    {"SERVER_NAME", 65535}, {"DOCUMENT_ROOT", 65535}, {"DOCUMENT_URI", 65535},
    {"PATH_INFO", 65535},   {"QUERY_STRING", 65535},  {"TZ", 65535},
};

using variables = std::map<std::string, std::string>;

// The pairs before the first one that runs past the end; `whole` tells
// whether there was one.
std::vector<std::pair<std::string_view, std::string_view>> decode_pairs(std::string_view bytes, bool& whole)
{
    std::vector<std::pair<std::string_view, std::string_view>> found;
    std::size_t at = 0;
    whole = false;
    while (at < bytes.size()) {
        std::size_t lengths[2] = {};
        for (std::size_t& n : lengths) {
            if (at >= bytes.size() || (byte_at(bytes, at) >= 0x80 && bytes.size() - at < 4)) {
                return found;
            }
            if (byte_at(bytes, at) < 0x80) {
                n = byte_at(bytes, at++);
            } else {
                n = (std::size_t{byte_at(bytes, at) & 0x7fU} << 24) + (std::size_t{byte_at(bytes, at + 1)} << 16) +
                    (std::size_t{byte_at(bytes, at + 2)} << 8) + byte_at(bytes, at + 3);
                at += 4;
            }
        }
        if (lengths[0] + lengths[1] > bytes.size() - at) {
            return found;
        }
        found.emplace_back(bytes.substr(at, lengths[0]), bytes.substr(at + lengths[0], lengths[1]));
        at += lengths[0] + lengths[1];
    }
    whole = true;
    return found;
}

std::string up_to_nul(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

struct model {
    std::string replies;
    bool closed = false;
    unsigned id = 0;
    bool keep = false;
    bool params_done = false;
    bool stdin_done = false;
    std::string params;
    std::vector<variables> answered; // what each trusted request must be handed

    void finish()
    {
        closed = !keep;
        id = 0;
        params.clear();
    }

    void answer()
    {
        bool whole = false;
        variables vars;
        for (const auto& [name, value] : decode_pairs(params, whole)) {
            vars[up_to_nul(name)] = up_to_nul(value);
        }
        bool fits = true;
        for (const auto& [name, limit] : value_limits) {
            fits = fits && (!vars.contains(name) || vars[name].size() <= limit);
        }
        if (whole && fits) {
            answered.push_back(vars);
            std::string text(page.header);
            replies += fastcgi_peer::answered(id, text.append(page.body), static_cast<std::uint32_t>(page.status));
        } else {
            put_record(replies, stdout_type, id, {});
            put_record(replies, end_type, id, end_body(3, request_complete));
        }
        finish();
    }

    void get_values(std::string_view content)
    {
        static const pair_list known = {{"FCGI_MAX_CONNS", "256"}, {"FCGI_MAX_REQS", "256"}, {"FCGI_MPXS_CONNS", "0"}};
        std::string result;
        bool told[3] = {};
        bool whole = false;
        for (const auto& asked : decode_pairs(content, whole)) {
            for (std::size_t i = 0; i < 3; ++i) {
                if (asked.first == known[i].first && !told[i]) {
                    told[i] = true;
                    result += pairs({known[i]});
                }
            }
        }
        put_record(replies, get_values_result_type, 0, result);
    }

    void begin(unsigned new_id, std::string_view content)
    {
        if (content.size() < 8 || new_id == id) {
            closed = true;
        } else if (id != 0) {
            put_record(replies, end_type, new_id, end_body(0, cant_mpx_conn));
        } else if ((byte_at(content, 0) << 8 | byte_at(content, 1)) != 1) {
            put_record(replies, end_type, new_id, end_body(0, unknown_role));
            closed = (byte_at(content, 2) & 1) == 0;
        } else {
            id = new_id;
            keep = (byte_at(content, 2) & 1) != 0;
            params_done = stdin_done = false;
        }
    }

    void take(const parsed_record& r)
    {
        const bool ours = r.id == id;
        if (r.version != 1) {
            closed = true;
        } else if (r.id == 0) {
            if (r.type == get_values_type) {
                get_values(r.content);
            } else {
                put_record(replies, unknown_type_type, 0, unknown_type_body(r.type));
            }
        } else if (r.type == begin_type) {
            begin(r.id, r.content);
        } else if (r.type == abort_type) {
            if (ours) {
                put_record(replies, end_type, id, end_body(0, request_complete));
                finish();
            }
        } else if (r.type == params_type) {
            if (ours && !params_done) {
                params_done = r.content.empty();
                params += r.content;
            }
        } else if (r.type == stdin_type) {
            stdin_done = stdin_done || (ours && r.content.empty());
        } else if (r.type != data_type) {
            put_record(replies, unknown_type_type, 0, unknown_type_body(r.type));
        }
    }

    void run(std::string_view stream)
    {
        std::string_view rest;
        for (const parsed_record& r : split_records(stream, &rest)) {
            take(r);
            if (!closed && id != 0 && params_done && stdin_done) {
                answer();
            }
            if (closed) {
                return;
            }
        }
        // A header of another version ends the connection before its record is whole.
        closed = rest.size() >= 8 && byte_at(rest, 0) != 1;
    }
};

std::optional<std::string> variable(const variables& vars, const char* name)
{
    const auto found = vars.find(name);
    return found == vars.end() ? std::nullopt : std::optional<std::string>(found->second);
}

void check_handed(const variables& expected, const pagestamp::request_env& env, std::string_view zone)
{
    const std::pair<const char*, std::string_view> fields[] = {
        {"SERVER_NAME", env.server_name}, {"DOCUMENT_ROOT", env.document_root}, {"DOCUMENT_URI", env.document_uri},
        {"DOCUMENT_NAME", env.document_name}, {"PATH_INFO", env.path_info}, {"QUERY_STRING", env.query_string},
        {"TZ", zone}};
    for (const auto& [name, got] : fields) {
        const std::optional<std::string> wanted = variable(expected, name);
        check(wanted.has_value() == (got.data() != nullptr), "absent stays apart from empty", name);
        // Nothing reads DOCUMENT_NAME's value, so only its presence is handed on.
        const bool value_kept = std::string_view(name) != "DOCUMENT_NAME";
        check(!wanted.has_value() || !value_kept || *wanted == got, "each variable is its last value, up to a NUL",
              name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    // The first byte says how many chunk sizes follow; the rest is the stream.
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    const std::size_t sizes = input.empty() ? 0 : std::min<std::size_t>(byte_at(input, 0) & 7U, input.size() - 1);
    std::vector<std::size_t> chunks;
    for (std::size_t i = 1; i <= sizes; ++i) {
        chunks.push_back(byte_at(input, i));
    }
    const std::string_view stream = input.substr(input.empty() ? 0 : 1 + sizes);

    model expected;
    expected.run(stream);

    static constinit pagestamp::fastcgi::connection c{pagestamp::all_zero};
    std::size_t handed = 0;
    const drive_result got = drive(c, stream, chunks, page, [&](const pagestamp::request_env& env, std::string_view zone) {
        check(handed < expected.answered.size(), "a request answered that the model refuses or never saw");
        check_handed(expected.answered[handed++], env, zone);
    });
    check(!got.stalled, "waits for input with no room to take it");
    check(handed == expected.answered.size(), "every request the model answers is answered");
    check(got.closed == expected.closed, "closes exactly when it must");
    check(got.replies == expected.replies, "replies are exactly the records asked for");
    return 0;
}
