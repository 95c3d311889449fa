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

// What read_request hands the answer for one request's params; nullopt: it
// refuses the request.
struct handed {
    std::optional<std::string> server_name, path_info, query_string, zone;
};

std::optional<handed> hand(const std::string& params)
{
    const auto c = fresh();
    std::optional<handed> got;
    const auto text = [](std::string_view v) { return v.data() ? std::optional<std::string>(v) : std::nullopt; };
    drive(*c, request(1, params), {}, page, [&](const pagestamp::request_env& env, std::string_view zone) {
        got = handed{text(env.server_name), text(env.path_info), text(env.query_string), text(zone)};
    });
    return got;
}

TEST(FastcgiConnectionTest, WhatParamsHandTheAnswer)
{
    using opt = std::optional<std::string>;
    const std::string base = pairs(required);
    const std::size_t filler_to_limit = 65536 - base.size() - 6; // "X", a 4-byte length, then the value
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
        {"TZ of 255", base + pairs({{"TZ", std::string(255, 'z')}}), handed{"s", opt(), opt(), std::string(255, 'z')}},
        {"TZ of 256", base + pairs({{"TZ", std::string(256, 'z')}}), std::nullopt},
        {"params of 65536", base + pairs({{"X", std::string(filler_to_limit, 'x')}}), handed{"s", opt(), opt(), opt()}},
        {"params of 65537", base + pairs({{"X", std::string(filler_to_limit + 1, 'x')}}), std::nullopt},
        {"a pair cut short", base + "\x05\x05" "SERVER", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::optional<handed> got = hand(row.params);
        ASSERT_EQ(got.has_value(), row.expected.has_value());
        if (got) {
            EXPECT_EQ(got->server_name, row.expected->server_name);
            EXPECT_EQ(got->path_info, row.expected->path_info);
            EXPECT_EQ(got->query_string, row.expected->query_string);
            EXPECT_EQ(got->zone, row.expected->zone);
        }
    }
}

} // namespace
} // namespace fastcgi_peer
