// Faults against a live responder over real sockets: silent, vanishing,
// malformed, many and slow clients, and the signals a server's life brings.
// After each, the process must still answer a good request, and nothing may
// reach its standard error.

#include "support/fastcgi_records.hpp"
#include "support/fastcgi_scenarios.hpp"
#include "support/responder.hpp"
#include "support/short_write.hpp"
#include "support/site.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testing_support {
namespace {

using namespace fastcgi_peer;
using std::chrono::milliseconds;

constexpr std::time_t april_2_2003_150709 = 1049296029;
const std::string fastcgi_header = "Content-type: text/plain\r\n\r\n\r";

long long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - since).count();
}

class LiveResponderTest : public ::testing::Test {
protected:
    temp_site site;
    std::string page_file = site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    live_responder responder{PAGESTAMP_BINARY, {}};

    [[nodiscard]] std::string params(const std::string& query = "") const
    {
        pair_list list = {{"SERVER_NAME", "www.example.org"}, {"DOCUMENT_ROOT", site.root},
                          {"DOCUMENT_URI", "/docs/index.shtml"}, {"DOCUMENT_NAME", "index.shtml"}, {"TZ", "UTC"}};
        if (!query.empty()) {
            list.emplace_back("QUERY_STRING", query);
        }
        return pairs(list);
    }

    // One request on a new connection, answered in full within `limit_ms`.
    void expect_served(live_responder& to, long long limit_ms = 1000)
    {
        const auto start = std::chrono::steady_clock::now();
        const int fd = to.connect_client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, request(1, params())));
        const received got = receive(fd, 0, 5000);
        close(fd);
        EXPECT_EQ(got.bytes, answered(1, fastcgi_header + "2003-4-2", 0));
        EXPECT_TRUE(got.closed);
        EXPECT_LT(elapsed_ms(start), limit_ms);
    }

    void TearDown() override
    {
        expect_served(responder);
        EXPECT_TRUE(responder.running());
        EXPECT_EQ(responder.take_stderr(), "");
    }
};

TEST_F(LiveResponderTest, SilentClientClosedAfterTheIdleTimeoutWhileOthersAreServed)
{
    const auto start = std::chrono::steady_clock::now();
    const int silent = responder.connect_client();
    ASSERT_GE(silent, 0);
    expect_served(responder, 500);
    const received got = receive(silent, 0, 13'000);
    close(silent);
    EXPECT_TRUE(got.closed);
    EXPECT_EQ(got.bytes, "");
    EXPECT_GE(elapsed_ms(start), 9'900);
    EXPECT_LE(elapsed_ms(start), 12'000);
}

TEST_F(LiveResponderTest, ClientsThatLeaveMidRecordOrBeforeTheAnswer)
{
    const std::string whole = request(1, params());
    for (const std::size_t cut : {std::size_t{3}, std::size_t{12}, whole.size() / 2, whole.size() - 1}) {
        const int fd = responder.connect_client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, whole.substr(0, cut)));
        close(fd);
    }
    // The answer meets a closed socket: EPIPE, and a SIGPIPE that must not end it.
    for (int i = 0; i < 16; ++i) {
        const int fd = responder.connect_client();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(shutdown(fd, SHUT_RD), 0);
        ASSERT_TRUE(send_all(fd, whole));
        close(fd);
    }
}

TEST_F(LiveResponderTest, EveryScenarioOverARealSocket)
{
    for (const scenario& row : connection_scenarios(params(), fastcgi_header + "2003-4-2", 0)) {
        SCOPED_TRACE(row.name);
        const int fd = responder.connect_client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, row.sent));
        const received got = receive(fd, row.closes ? 0 : row.expected.size(), 5000);
        close(fd);
        EXPECT_EQ(got.bytes, row.expected);
        EXPECT_EQ(got.closed, row.closes);
    }
}

TEST_F(LiveResponderTest, SixtyFourClientsAtOnce)
{
    std::vector<int> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(responder.connect_client());
        ASSERT_GE(clients.back(), 0);
    }
    // Each its own template, so that no answer can reach another client.
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(send_all(clients[i], request(1, params("%Y4-" + std::to_string(i)))));
    }
    for (int i = 0; i < 64; ++i) {
        const received got = receive(clients[i], 0, 5000);
        close(clients[i]);
        EXPECT_EQ(got.bytes, answered(1, fastcgi_header + "2003-" + std::to_string(i), 0)) << i;
    }
}

TEST_F(LiveResponderTest, ARequestWrittenOneByteAtATime)
{
    const int fd = responder.connect_client();
    ASSERT_GE(fd, 0);
    for (const char c : request(1, params("%WL"))) {
        ASSERT_TRUE(send_all(fd, std::string(1, c)));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const received got = receive(fd, 0, 5000);
    close(fd);
    EXPECT_EQ(got.bytes, answered(1, fastcgi_header + "Wednesday", 0));
}

// The responder's socket buffer is shrunk (TCP connections inherit it from
// the listener) and the client's too, so its writes come up short and must
// resume; the client reads a few bytes at a time with pauses, and meanwhile
// another client is served. The connection ends with its last request, or
// with the client shutting down its sending side after all of them: requests
// it has sent are still owed their answers.
TEST_F(LiveResponderTest, SlowReaderGetsEveryAnswerWholeOnceAndInOrder)
{
    live_responder small{PAGESTAMP_BINARY, {}, {.loopback_tcp = true, .send_buffer = 4096}};
    constexpr unsigned count = 16;
    for (const bool half_close : {false, true}) {
        SCOPED_TRACE(half_close ? "ended by a half-close" : "ended by the last request");
        const int slow = small.connect_client(1);
        ASSERT_GE(slow, 0);
        std::string sent;
        std::string expected;
        for (unsigned i = 1; i <= count; ++i) {
            const std::string text = std::to_string(i) + ":" + std::string(4200, 'x');
            sent += request(i, params(text), half_close || i < count);
            expected += answered(i, fastcgi_header + text.substr(0, 4094), 0);
        }
        ASSERT_TRUE(send_all(slow, sent));
        if (half_close) {
            ASSERT_EQ(shutdown(slow, SHUT_WR), 0);
        }
        const auto start = std::chrono::steady_clock::now();
        long long other_done_ms = 0;
        std::thread other([&] {
            std::this_thread::sleep_for(milliseconds(50));
            expect_served(small, 500);
            other_done_ms = elapsed_ms(start);
        });
        const std::string got = read_slowly(slow, 13, std::chrono::microseconds(100));
        const long long slow_done_ms = elapsed_ms(start);
        other.join();
        close(slow);
        EXPECT_LT(other_done_ms, slow_done_ms);
        EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size() << ", differing from byte "
                                     << std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
    }
    EXPECT_EQ(small.take_stderr(), "");
}

// One kept connection, request after request: nothing of one may reach the
// next (its zone, a failed stat's errno), and params of any size made of
// names a stamp never reads are answered. The responder starts in London.
TEST_F(LiveResponderTest, EachRequestOnAKeptConnectionStandsAlone)
{
    live_responder london{PAGESTAMP_BINARY, {"TZ=Europe/London"}};
    // A real zone's file, named in exactly 255 bytes by repeating a slash.
    const std::string zones = "/usr/share/zoneinfo";
    const std::string tokyo_255 = zones + std::string(255 - zones.size() - 10, '/') + "Asia/Tokyo";
    ASSERT_EQ(tokyo_255.size(), 255U);
    const auto with = [&](pair_list extra, const std::string& uri = "/docs/index.shtml") {
        pair_list list = {{"SERVER_NAME", "www.example.org"}, {"DOCUMENT_ROOT", site.root},
                          {"DOCUMENT_URI", uri}, {"DOCUMENT_NAME", "index.shtml"},
                          {"QUERY_STRING", "%P2:%PM+%TZ"}};
        list.insert(list.end(), extra.begin(), extra.end());
        return pairs(list);
    };
    const std::string refused = record(stdout_type, 1, {}) + end_request(1, 3, request_complete);
    const std::string missing = "[Error: Couldn't open file '" + site.root + "/docs/missing.shtml']\n";
    const struct {
        const char* what;
        std::string params;
        std::string expected;
    } rows[] = {
        {"a TZ of 255 bytes", with({{"TZ", tokyo_255}}), answered(1, fastcgi_header + "00:07 JST", 0)},
        {"then none: the starting zone", with({}), answered(1, fastcgi_header + "16:07 BST", 0)},
        {"a TZ of 256 bytes", with({{"TZ", "/" + tokyo_255}}), refused},
        {"a missing file", with({}, "/docs/missing.shtml"), answered(1, fastcgi_header + missing, 1)},
        {"then the page", with({}), answered(1, fastcgi_header + "16:07 BST", 0)},
        {"a MiB of names not ours",
         pairs({{"HTTP_COOKIE", std::string(1 << 20, 'c')}}) + std::string(1000, '\0') +
             pairs({{std::string(100'000, 'N'), "v"}}) + with({{"TZ", "UTC"}}),
         answered(1, fastcgi_header + "15:07 UTC", 0)},
    };
    const int fd = london.connect_client();
    ASSERT_GE(fd, 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(send_all(fd, request(1, row.params, true)));
        EXPECT_EQ(receive(fd, row.expected.size(), 5000).bytes, row.expected);
    }
    close(fd);
    EXPECT_EQ(london.take_stderr(), "");
}

TEST(LiveResponderStopTest, SigtermEndsItPromptlyWithStatusZero)
{
    live_responder responder{PAGESTAMP_BINARY, {}};
    const int idle = responder.connect_client();
    ASSERT_GE(idle, 0);
    ASSERT_TRUE(send_all(idle, begin(1))); // a request under way
    std::this_thread::sleep_for(milliseconds(100));
    const stopped end = responder.stop();
    close(idle);
    EXPECT_EQ(end.exit_status, 0);
    EXPECT_EQ(end.signal, 0);
    EXPECT_LT(end.took_ms, 1000);
    EXPECT_EQ(responder.take_stderr(), "");
}

} // namespace
} // namespace testing_support
