// The connection state machine, with no socket: every scenario fed whole and
// then one byte per call, which must make no difference; and what a request's
// params hand the answer.

#include "support/fastcgi_drive.hpp"
#include "support/fastcgi_scenarios.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace fastcgi_peer {
namespace {

constexpr fixed_answer page{"Content-type: text/plain\r\n\r\n\r", "fixed body", 0x01020304};

const pair_list required = {{"SERVER_NAME", "s"}, {"DOCUMENT_ROOT", "/r"}, {"DOCUMENT_URI", "/u"},
                            {"DOCUMENT_NAME", "u"}};

// Too large for a test's stack.
std::unique_ptr<pagestamp::fastcgi::connection> fresh() { return std::make_unique<pagestamp::fastcgi::connection>(); }

TEST(FastcgiConnectionTest, ScenariosWholeAndOneByteAtATime)
{
    const auto c = fresh();
    const std::string whole_page = std::string(page.header) + std::string(page.body);
    for (const scenario& row : connection_scenarios(pairs(required), whole_page, page.status)) {
        for (const std::size_t chunk : {0U, 1U}) {
            SCOPED_TRACE(std::string(row.name) + (chunk == 0 ? ", whole" : ", a byte at a time"));
            const drive_result got = drive(*c, row.sent, {chunk}, page);
            EXPECT_EQ(got.replies, row.expected);
            EXPECT_EQ(got.closed, row.closes);
            EXPECT_FALSE(got.stalled);
        }
    }
}

// What read_request hands the answer for one request's params, sent in
// records of at most `record_size` bytes; nullopt: it refuses the request.
struct handed {
    std::optional<std::string> server_name, path_info, query_string, zone;
    bool complete = true; // all four required variables there
    std::optional<std::string> document_root = "/r";
};

std::optional<handed> hand(const std::string& params, std::size_t record_size)
{
    const auto c = fresh();
    std::optional<handed> got;
    const auto text = [](std::string_view v) { return v.data() ? std::optional<std::string>(v) : std::nullopt; };
    drive(*c, request(1, params, false, record_size), {}, page,
          [&](const pagestamp::request_env& env, std::string_view zone) {
              got = handed{text(env.server_name), text(env.path_info), text(env.query_string), text(zone),
                           pagestamp::has_required_variables(env), text(env.document_root)};
          });
    return got;
}

TEST(FastcgiConnectionTest, WhatParamsHandTheAnswer)
{
    using opt = std::optional<std::string>;
    const std::string base = pairs(required);
    const std::string x65535(65535, 'x');
    const std::string q65535(65535, 'q');
    const std::string r65535(65535, 'r');
    const struct {
        const char* what;
        std::string params;
        std::optional<handed> expected;
    } rows[] = {
        {"absent stays apart from empty", base + pairs({{"PATH_INFO", ""}}), handed{"s", "", std::nullopt, std::nullopt}},
        {"the last of a name sent twice",
         base + pairs({{"QUERY_STRING", "%WL"}, {"TZ", "UTC"}, {"QUERY_STRING", "%Y4"}, {"TZ", "Asia/Tokyo"}}),
         handed{"s", std::nullopt, "%Y4", "Asia/Tokyo"}},
        {"names and values end at a NUL",
         base + pairs({{std::string("QUERY_STRING\0x", 14), std::string("%Y4\0%WL", 7)}, {"SERVER_NAME", std::string("\0s", 2)}}),
         handed{"", std::nullopt, "%Y4", std::nullopt}},
        {"names that only begin as ours",
         base + pairs({{"QUERY_STRINGS", "a"}, {"SERVER_NAME_X", "b"}, {"TZZ", "c"}, {"DOCUMENT_ROOTS", "d"}, {"", "e"}, {"", ""}}),
         handed{"s", opt(), opt(), opt()}},
        {"TZ of 65535", base + pairs({{"TZ", x65535}}), handed{"s", opt(), opt(), x65535}},
        {"TZ of 65536", base + pairs({{"TZ", x65535 + "x"}}), std::nullopt},
        {"SERVER_NAME of 65535", base + pairs({{"SERVER_NAME", q65535}}), handed{q65535, opt(), opt(), opt()}},
        {"SERVER_NAME of 65536", base + pairs({{"SERVER_NAME", q65535 + "q"}}), std::nullopt},
        {"QUERY_STRING of 65535", base + pairs({{"QUERY_STRING", q65535}}), handed{"s", opt(), q65535, opt()}},
        {"QUERY_STRING of 65536", base + pairs({{"QUERY_STRING", q65535 + "q"}}), std::nullopt},
        {"PATH_INFO of 65536", base + pairs({{"PATH_INFO", q65535 + "p"}}), std::nullopt},
        {"DOCUMENT_ROOT of 65535", base + pairs({{"DOCUMENT_ROOT", r65535}}), handed{"s", opt(), opt(), opt(), true, r65535}},
        {"DOCUMENT_ROOT of 65536", base + pairs({{"DOCUMENT_ROOT", r65535 + "r"}}), std::nullopt},
        {"past its capacity, then sent again", base + pairs({{"TZ", x65535 + "x"}, {"TZ", "UTC"}}),
         handed{"s", opt(), opt(), "UTC"}},
        {"sent again, past its capacity", base + pairs({{"TZ", "UTC"}, {"TZ", x65535 + "x"}}), std::nullopt},
        {"every value at its capacity, each sent twice",
         [&] {
             const pair_list full = {{"SERVER_NAME", q65535}, {"DOCUMENT_ROOT", r65535},
                                     {"DOCUMENT_URI", q65535}, {"PATH_INFO", q65535},
                                     {"QUERY_STRING", q65535}, {"TZ", x65535}};
             return pairs({{"DOCUMENT_NAME", "u"}}) + pairs(full) + pairs(full);
         }(),
         handed{q65535, q65535, q65535, x65535, true, r65535}},
        {"past its capacity after a NUL", base + pairs({{"TZ", "UTC" + std::string(1, '\0') + x65535}}),
         handed{"s", opt(), opt(), "UTC"}},
        {"a MiB of names not ours",
         pairs({{"HTTP_COOKIE", std::string(1 << 20, 'c')}, {std::string(70000, 'N'), "v"}}) + base,
         handed{"s", opt(), opt(), opt()}},
        {"DOCUMENT_NAME of any length, never kept",
         pairs({{"SERVER_NAME", "s"}, {"DOCUMENT_ROOT", "/r"}, {"DOCUMENT_URI", "/u"}}) +
             pairs({{"DOCUMENT_NAME", std::string(70000, 'n')}}),
         handed{"s", opt(), opt(), opt()}},
        {"without DOCUMENT_NAME", pairs({{"SERVER_NAME", "s"}, {"DOCUMENT_ROOT", "/r"}, {"DOCUMENT_URI", "/u"}}),
         handed{"s", opt(), opt(), opt(), false}},
        {"a pair cut short", base + "\x05\x05" "SERVER", std::nullopt},
        {"a length cut short", base + "\x81\x00", std::nullopt},
    };
    // A record per 65535 bytes; then a byte per record, which puts a record's
    // end at every pair's end and inside every 4-byte length; then seven.
    for (const std::size_t record_size : {0xffffU, 1U, 7U}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + ", records of " + std::to_string(record_size));
            const std::optional<handed> got = hand(row.params, record_size);
            ASSERT_EQ(got.has_value(), row.expected.has_value());
            if (got) {
                EXPECT_EQ(got->server_name, row.expected->server_name);
                EXPECT_EQ(got->path_info, row.expected->path_info);
                EXPECT_EQ(got->query_string, row.expected->query_string);
                EXPECT_EQ(got->zone, row.expected->zone);
                EXPECT_EQ(got->complete, row.expected->complete);
                EXPECT_EQ(got->document_root, row.expected->document_root);
            }
        }
    }
}

} // namespace
} // namespace fastcgi_peer
