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
#include <cstring>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <spawn.h>
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

// A request for site/docs/index.shtml, made on april_2_2003_150709.
std::string page_params(const temp_site& site, const std::string& query = "", const std::string& zone = "UTC")
{
    pair_list list = {{"SERVER_NAME", "www.example.org"}, {"DOCUMENT_ROOT", site.root},
                      {"DOCUMENT_URI", "/docs/index.shtml"}, {"DOCUMENT_NAME", "index.shtml"}, {"TZ", zone}};
    if (!query.empty()) {
        list.emplace_back("QUERY_STRING", query);
    }
    return pairs(list);
}

// One request on a new connection, answered with `page`.
void expect_answer(live_responder& to, const std::string& params, const std::string& page)
{
    const int fd = to.connect_client();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, request(1, params)));
    const received got = receive(fd, 0, 5000);
    close(fd);
    EXPECT_EQ(got.bytes, answered(1, fastcgi_header + page, 0));
}

class LiveResponderTest : public ::testing::Test {
protected:
    temp_site site;
    std::string page_file = site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    live_responder responder{PAGESTAMP_BINARY, {}};

    [[nodiscard]] std::string params(const std::string& query = "") const { return page_params(site, query); }

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

// Half a second apart, so that a wait rounded to whole seconds closes one of
// them a half second early or late.
TEST_F(LiveResponderTest, SilentClientsClosedEachAtItsIdleTimeoutWhileOthersAreServed)
{
    const auto start = std::chrono::steady_clock::now();
    const int first = responder.connect_client();
    std::this_thread::sleep_for(milliseconds(500));
    const int second = responder.connect_client();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    expect_served(responder, 500);
    for (const auto& [fd, opened_ms] : {std::pair{first, 0}, std::pair{second, 500}}) {
        const received got = receive(fd, 0, 13'000);
        close(fd);
        EXPECT_TRUE(got.closed);
        EXPECT_EQ(got.bytes, "");
        EXPECT_NEAR(elapsed_ms(start) - opened_ms, 10'000, 250) << "opened at " << opened_ms << " ms";
    }
}

// Conversations in steps, each after a pause: when the connection ends says
// what counts as progress and what as the end.
TEST_F(LiveResponderTest, WhatKeepsAConnectionAndWhatEndsIt)
{
    struct step {
        int pause_ms;
        std::string bytes;
        bool half_close = false;
    };
    const std::string whole = request(1, params());
    const std::string kept = request(1, params(), true);
    const struct {
        const char* name;
        std::vector<step> steps;
        std::string expected;
        long long min_ms; // from the first step until the connection ends
        long long max_ms;
    } rows[] = {
        {"half-closed once answered: closed at once", {{0, kept}, {300, "", true}},
         answered(1, fastcgi_header + "2003-4-2", 0), 250, 800},
        {"a request in parts seconds apart outlives the idle timeout",
         {{0, whole.substr(0, 20)}, {6000, whole.substr(20, 30)}, {6000, whole.substr(50)}},
         answered(1, fastcgi_header + "2003-4-2", 0), 12'000, 12'600},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto start = std::chrono::steady_clock::now();
        const int fd = responder.connect_client();
        ASSERT_GE(fd, 0);
        for (const step& s : row.steps) {
            std::this_thread::sleep_for(milliseconds(s.pause_ms));
            ASSERT_TRUE(send_all(fd, s.bytes));
            if (s.half_close) {
                ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
            }
        }
        const received got = receive(fd, 0, 13'000);
        close(fd);
        EXPECT_EQ(got.bytes, row.expected);
        EXPECT_TRUE(got.closed);
        EXPECT_GE(elapsed_ms(start), row.min_ms);
        EXPECT_LE(elapsed_ms(start), row.max_ms);
    }
}

TEST_F(LiveResponderTest, AnIdleResponderSleeps)
{
    for (const bool with_connection : {false, true}) {
        SCOPED_TRACE(with_connection ? "one idle connection open" : "nothing open");
        const int idle = with_connection ? responder.connect_client() : -1;
        std::this_thread::sleep_for(milliseconds(100));
        const long long before = responder.cpu_ms();
        std::this_thread::sleep_for(milliseconds(2000));
        EXPECT_LE(responder.cpu_ms() - before, 20);
        if (idle >= 0) {
            close(idle);
        }
    }
}

// When each read's last bytes reached the socket, by the kernel's clock, for
// reads of `chunk` bytes until `total` have come. Bytes are stamped only once
// SO_TIMESTAMPNS is on: set it before they can arrive.
std::vector<long long> arrivals_ns(int fd, std::size_t total, std::size_t chunk)
{
    std::vector<long long> times;
    std::string buffer(chunk, '\0');
    for (std::size_t got = 0; got < total;) {
        std::size_t filled = 0;
        timespec stamp{};
        while (filled < chunk) {
            iovec part{buffer.data() + filled, chunk - filled};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(fd, &message, 0);
            if (n <= 0) {
                return times;
            }
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                }
            }
            filled += static_cast<std::size_t>(n);
        }
        got += filled;
        times.push_back(stamp.tv_sec * 1'000'000'000LL + stamp.tv_nsec);
    }
    return times;
}

// Both connections' requests arrive while the responder is stopped, so one
// wait reports them together. Over TCP each answer carries the time the
// kernel took it in: the second client's must come before the first
// client's fifth, not after all twenty.
TEST(LiveResponderTurnTest, ConnectionsTakeTurns)
{
    temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    live_responder responder{PAGESTAMP_BINARY, {}, {.loopback_tcp = true}};
    const std::string text = std::string(4094, 't');
    const std::string one_answer = answered(1, fastcgi_header + text, 0);
    const int busy = responder.connect_client();
    const int other = responder.connect_client();
    ASSERT_GE(busy, 0);
    ASSERT_GE(other, 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(busy, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
    ASSERT_EQ(setsockopt(other, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
    expect_answer(responder, page_params(site), "2003-4-2"); // both are accepted by now
    std::string twenty;
    for (unsigned i = 1; i <= 20; ++i) {
        twenty += request(1, page_params(site, text), true);
    }
    responder.send_signal(SIGSTOP);
    const auto stopped_at = std::chrono::steady_clock::now();
    while (responder.state() != 'T' && elapsed_ms(stopped_at) < 2000) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_TRUE(send_all(busy, twenty));
    ASSERT_TRUE(send_all(other, request(1, page_params(site, text))));
    std::this_thread::sleep_for(milliseconds(20));
    responder.send_signal(SIGCONT);
    const std::vector<long long> other_times = arrivals_ns(other, one_answer.size(), one_answer.size());
    const std::vector<long long> busy_times = arrivals_ns(busy, 20 * one_answer.size(), one_answer.size());
    close(busy);
    close(other);
    ASSERT_EQ(other_times.size(), 1U);
    ASSERT_EQ(busy_times.size(), 20U);
    EXPECT_GT(other_times[0], 0);
    EXPECT_LT(other_times[0], busy_times[4]);
    EXPECT_EQ(responder.take_stderr(), "");
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
    // Two requests refused for their params, one line: the second came within the minute.
    EXPECT_EQ(responder.take_stderr(), "pagestamp: a request's params were cut short, or a value ran past 65535 bytes\n");
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
        {"a PATH_INFO past a record", with({{"PATH_INFO", "/" + std::string(65535, 'p')}}), refused},
        {"a TZ of 256 bytes again, not logged again", with({{"TZ", "/" + tokyo_255}}), refused},
        {"no page's variables", pairs({{"SERVER_NAME", "www.example.org"}}),
         answered(1, fastcgi_header + "<P>One or more required environment variables was missing.</P>\n", 255)},
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
    // Each refusal says why, naming the zone it could not use, but a
    // condition that lasts only once.
    EXPECT_EQ(london.take_stderr(),
              "pagestamp: TZ \"//usr/share/zoneinfo" + std::string(44, '/') +
                  "\"... is longer than the 255 bytes a zone may be named in\n"
              "pagestamp: a request's params were cut short, or a value ran past 65535 bytes\n"
              "pagestamp: SERVER_NAME, DOCUMENT_ROOT, DOCUMENT_URI or DOCUMENT_NAME is missing: the program is asked "
              "for directly, not from an include in a page\n");
}

// What a stop does to each kind of connection open at the time: a request
// begun is answered, and the connection closed after it; an idle kept
// connection is closed after a tenth of a second, and one whose next request
// comes before that (its server cannot know of the stop) after that answer;
// nothing else is taken; a second stop, or SIGINT, ends it at once; what
// never finishes waits out the deadline.
// SIGUSR1 and SIGUSR2 change nothing.
TEST(LiveResponderStopTest, WhatAStopAnswersAndWhenItEnds)
{
    const temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    const std::string whole = request(1, page_params(site), true);
    const std::string page = answered(1, fastcgi_header + "2003-4-2", 0);
    const std::string next = request(2, page_params(site), true) + request(3, page_params(site), true);
    const std::string next_page = answered(2, fastcgi_header + "2003-4-2", 0);
    const std::string begun = whole.substr(0, 30);
    const struct {
        const char* name;
        std::vector<int> signals;
        std::string before;   // sent before the signals
        std::string after;    // sent `pause_ms` after them
        int pause_ms;
        std::string answered; // after the signals
        long long min_ms;     // until it ends, from the signals
        long long max_ms;
    } rows[] = {
        {"an idle kept connection takes a request that comes at once", {SIGTERM}, whole, next, 30, next_page, 0, 300},
        {"an idle kept connection is closed soon", {SIGTERM}, whole, next, 300, "", 80, 400},
        {"a request begun is answered", {SIGTERM}, begun, whole.substr(30), 300, page, 300, 700},
        {"SIGHUP stops it the same way", {SIGHUP}, begun, whole.substr(30), 300, page, 300, 700},
        {"a request never finished waits out the deadline", {SIGTERM}, begun, "", 0, "", 4900, 5600},
        {"a second SIGTERM ends it at once", {SIGTERM, SIGTERM}, begun, "", 0, "", 0, 400},
        {"SIGINT ends it at once", {SIGINT}, begun, "", 0, "", 0, 400},
        {"SIGUSR1 and SIGUSR2 are ignored", {SIGUSR1, SIGUSR2, SIGTERM}, begun, whole.substr(30), 300, page, 300,
         700},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        live_responder responder{PAGESTAMP_BINARY, {}};
        expect_answer(responder, page_params(site), "2003-4-2"); // up, its signals taken
        const int fd = responder.connect_client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, row.before));
        if (row.before == whole) {
            ASSERT_EQ(receive(fd, page.size(), 2000).bytes, page);
        }
        const auto start = std::chrono::steady_clock::now();
        for (const int signal : row.signals) {
            responder.send_signal(signal);
            std::this_thread::sleep_for(milliseconds(5));
        }
        // A connection made now waits in the queue for the next responder.
        const int late = responder.connect_client();
        std::this_thread::sleep_for(milliseconds(row.pause_ms));
        send_all(fd, row.after);
        const received rest = receive(fd, 0, 7000);
        const stopped end = responder.wait_end(7000);
        EXPECT_TRUE(rest.closed);
        EXPECT_EQ(rest.bytes, row.answered);
        EXPECT_EQ(end.exit_status, 0);
        EXPECT_EQ(end.signal, 0);
        EXPECT_GE(elapsed_ms(start), row.min_ms);
        EXPECT_LE(elapsed_ms(start), row.max_ms);
        EXPECT_EQ(receive(late, 0, 100).bytes, "");
        close(late);
        close(fd);
        EXPECT_EQ(responder.take_stderr(), "");
    }
}

// A responder that cannot have what it serves with exits at once, with
// the status that says so, and writes nothing.
TEST(LiveResponderStopTest, ResponderThatCannotStartExitsWithItsStatus)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers take address space and descriptors of their own";
#endif
    const struct {
        const char* name;
        std::vector<std::string> limits;
    } rows[] = {
        {"no descriptor for its signals", {"--nofile=4"}},
        {"no address space for its table", {"--as=12000000"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        live_responder responder{PAGESTAMP_BINARY, {}, {.limits = row.limits}};
        const stopped end = responder.wait_end(2000);
        EXPECT_EQ(end.exit_status, 4);
        EXPECT_LT(end.took_ms, 1000);
        EXPECT_EQ(responder.take_stderr(), "");
    }
}

// Descriptors running short: the responder keeps a reserve for its answers
// (the zone file, the password database) and rests instead of spinning when
// the system has none to give. A hundred clients connect and wait, more than
// the limit lets in at once; then each asks for a page in London's summer
// time or a user's page, and every answer must be right.
TEST(LiveResponderLimitTest, DescriptorsRunningShort)
{
    temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    site.add_user("ann");
    site.add_file("home/ann/www/index.shtml", 10, april_2_2003_150709);
    const std::vector<std::string> env = {std::string("LD_PRELOAD=") + NSS_WRAPPER_LIBRARY,
                                          "NSS_WRAPPER_PASSWD=" + site.passwd, "NSS_WRAPPER_GROUP=" + site.group};
    const std::string london = page_params(site, "%P2:%PM+%TZ", "Europe/London");
    const std::string users = pairs({{"SERVER_NAME", "www.example.org"}, {"DOCUMENT_ROOT", site.root},
                                     {"DOCUMENT_URI", "/~ann/index.shtml"}, {"DOCUMENT_NAME", "index.shtml"},
                                     {"QUERY_STRING", "%FP/%FN+%Y4"}, {"TZ", "UTC"}});
    const struct {
        const char* name;
        std::vector<std::string> limits; // at the start
        rlim_t lowered_to;               // while it runs; 0 leaves it
    } rows[] = {
        {"a low limit from the start", {"--nofile=64"}, 0},
        {"the limit lowered under it", {}, 40},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        live_responder responder{PAGESTAMP_BINARY, env, {.limits = row.limits}};
        expect_answer(responder, london, "16:07 BST"); // started, the zone read once
        if (row.lowered_to > 0) {
            const rlimit lowered{row.lowered_to, row.lowered_to};
            ASSERT_EQ(prlimit(responder.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
        }
        std::vector<int> clients;
        for (int i = 0; i < 100; ++i) {
            clients.push_back(responder.connect_client());
            ASSERT_GE(clients.back(), 0);
        }
        const long long cpu_before = responder.cpu_ms();
        std::this_thread::sleep_for(milliseconds(1000));
        EXPECT_LE(responder.cpu_ms() - cpu_before, 100) << "CPU time while the clients wait";
        for (std::size_t i = 0; i < clients.size(); ++i) {
            ASSERT_TRUE(send_all(clients[i], request(1, i % 2 == 0 ? london : users)));
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const received got = receive(clients[i], 0, 15'000);
            close(clients[i]);
            EXPECT_EQ(got.bytes, answered(1, fastcgi_header + (i % 2 == 0 ? "16:07 BST" : "/~ann/index.shtml 2003"), 0))
                << "client " << i;
        }
        EXPECT_EQ(responder.take_stderr(), "");
    }
}

// 256 local peers, as many as the table holds, each send a byte of a request
// now and then, and connect again whenever dropped: each good request still
// gets a slot, and its answer, within 2 s, as the oldest slow request makes
// room for it. Without that, it waited for the slow requests' time limit.
TEST(LiveResponderLimitTest, TricklingClientsCannotLockTheServerOut)
{
    temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    live_responder responder{PAGESTAMP_BINARY, {}};
    const std::string slow = request(1, page_params(site));
    const std::string expected = answered(1, fastcgi_header + "2003-4-2", 0);
    std::vector<int> clients;
    std::vector<std::size_t> sent;
    for (int i = 0; i < 256; ++i) {
        clients.push_back(responder.connect_client());
        sent.push_back(0);
        ASSERT_GE(clients.back(), 0);
    }
    auto last_trickle = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    const auto trickle = [&] {
        if (elapsed_ms(last_trickle) < 250) {
            return;
        }
        last_trickle = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < clients.size(); ++k) {
            if (send_all(clients[k], slow.substr(sent[k] % slow.size(), 1))) {
                ++sent[k];
            } else {
                close(clients[k]);
                clients[k] = responder.connect_client();
                sent[k] = 0;
            }
        }
    };
    trickle();
    int in_time = 0;
    constexpr int good_requests = 8;
    for (int n = 0; n < good_requests; ++n) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = responder.connect_client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, request(1, page_params(site))));
        received got;
        while (!got.closed && got.bytes.size() < expected.size() && elapsed_ms(start) < 2000) {
            const received more = receive(fd, expected.size() - got.bytes.size(), 100);
            got.bytes += more.bytes;
            got.closed = more.closed;
            trickle();
        }
        in_time += got.bytes == expected ? 1 : 0;
        close(fd);
    }
    EXPECT_EQ(in_time, good_requests);
    for (const int fd : clients) {
        close(fd);
    }
    EXPECT_EQ(responder.take_stderr(), "");
}

// Over a unix socket a write stalls until the peer has taken three quarters
// of what the socket holds: at 10 kB/s, longer than the idle timeout. The
// peer takes bytes all along, and must get every answer (20 s).
TEST(LiveResponderLimitTest, ASlowButSteadyReaderIsNotIdle)
{
    temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    live_responder responder{PAGESTAMP_BINARY, {}};
    const int fd = responder.connect_client();
    ASSERT_GE(fd, 0);
    std::string sent;
    std::string expected;
    for (unsigned i = 1; i <= 48; ++i) {
        const std::string text = std::to_string(i) + std::string(4090, 'r');
        sent += request(i, page_params(site, text), i < 48);
        expected += answered(i, fastcgi_header + text.substr(0, 4094), 0);
    }
    ASSERT_TRUE(send_all(fd, sent));
    const auto start = std::chrono::steady_clock::now();
    const std::string got = read_slowly(fd, 1000, std::chrono::microseconds(100'000));
    close(fd);
    EXPECT_GE(elapsed_ms(start), 10'000) << "too fast to stall past the idle timeout";
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// Two requests pipelined on one TCP connection: the second answer must not
// wait for the client to acknowledge the first.
TEST(LiveResponderLimitTest, PipelinedAnswersOverTcpGoOutAtOnce)
{
    temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    live_responder responder{PAGESTAMP_BINARY, {}, {.loopback_tcp = true}};
    const int fd = responder.connect_client();
    ASSERT_GE(fd, 0);
    const std::string expected = answered(1, fastcgi_header + "2003-4-2", 0) + answered(2, fastcgi_header + "2003-4-2", 0);
    ASSERT_TRUE(send_all(fd, request(1, page_params(site), true)));
    ASSERT_EQ(receive(fd, expected.size() / 2, 2000).bytes, expected.substr(0, expected.size() / 2));
    long long slowest_ms = 0;
    for (int round = 0; round < 10; ++round) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(send_all(fd, request(1, page_params(site), true) + request(2, page_params(site), true)));
        EXPECT_EQ(receive(fd, expected.size(), 2000).bytes, expected);
        slowest_ms = std::max(slowest_ms, elapsed_ms(start));
    }
    close(fd);
    EXPECT_LT(slowest_ms, 20);
}

// A CGI may be run with a connected socket as its standard input (inetd
// style, or a server's socketpair): it must stay a CGI, not serve FastCGI.
TEST(LiveResponderLimitTest, ACgiWhoseStandardInputIsAConnectedSocketStaysACgi)
{
    temp_site site;
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    std::vector<std::string> entries = request_environment(site, "/docs/index.shtml");
    std::vector<char*> envp;
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    int pair[2];
    int out[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char program[] = PAGESTAMP_BINARY;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    close(out[1]);
    const received got = receive(out[0], 0, 5000);
    int status = 0;
    if (!got.closed) {
        kill(pid, SIGKILL);
    }
    waitpid(pid, &status, 0);
    close(out[0]);
    close(pair[0]);
    EXPECT_EQ(got.bytes, "Content-type: text/plain\n\r\n\r2003-4-2");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
} // namespace testing_support
