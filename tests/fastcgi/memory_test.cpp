// The responder's memory: after a million requests it is what it was after
// ten thousand, and a connection kept open costs only the pages it used.

#include "support/fastcgi_records.hpp"
#include "support/responder.hpp"
#include "support/site.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace testing_support {
namespace {

using namespace fastcgi_peer;

constexpr std::time_t april_2_2003_150709 = 1049296029;

long vm_rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

constexpr long total_requests = 1'000'000;
constexpr long warm_up = 10'000;
constexpr long batch = 100;

// A kept connection's request for a stamp of SITE's page, and its answer.
struct stamp_exchange {
    std::string params;
    std::string request;
    std::string answer;
};

stamp_exchange stamp_of_index(const temp_site& site)
{
    site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    const std::string params = pairs({{"SERVER_NAME", "www.example.org"}, {"DOCUMENT_ROOT", site.root},
                                      {"DOCUMENT_URI", "/docs/index.shtml"}, {"DOCUMENT_NAME", "index.shtml"},
                                      {"QUERY_STRING", "%WL,+%ML+%DM,+%Y4+%H1:%PM+%A3+(%SA)"}, {"TZ", "UTC"}});
    return {params, request(1, params, true),
            answered(1, "Content-type: text/plain\r\n\r\n\rWednesday, April 2, 2003 3:07 p.m. (2.1k)", 0)};
}

TEST(ResponderMemoryTest, ResidentSizeStaysPutOverManyRequests)
{
    temp_site site;
    const stamp_exchange one = stamp_of_index(site);
    live_responder responder{PAGESTAMP_BINARY, {}};
    std::string requests;
    std::string answers;
    for (long i = 0; i < batch; ++i) {
        requests += one.request;
        answers += one.answer;
    }
    const int fd = responder.connect_client();
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    long after_warm_up = 0;
    for (long done = 0; done < total_requests; done += batch) {
        ASSERT_TRUE(send_all(fd, requests));
        const received got = receive(fd, answers.size(), 10'000);
        ASSERT_TRUE(got.bytes == answers) << "after " << done << " requests";
        if (done + batch == warm_up) {
            after_warm_up = vm_rss_kib(responder.pid());
        }
    }
    const long at_end = vm_rss_kib(responder.pid());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    close(fd);
    std::printf("VmRSS %ld kB after %ld requests, %ld kB after %ld; %lld ms\n", after_warm_up, warm_up, at_end,
                total_requests, static_cast<long long>(took.count()));
    EXPECT_GT(after_warm_up, 0);
    EXPECT_EQ(at_end, after_warm_up);
    EXPECT_EQ(responder.take_stderr(), "");
}

// How much a responder's resident size grows with 256 connections kept open,
// each after one request.
long growth_for_256_kept(const std::string& request, const std::string& answer)
{
    live_responder responder{PAGESTAMP_BINARY, {}};
    const long before = vm_rss_kib(responder.pid());
    std::vector<int> kept;
    for (int i = 0; i < 256; ++i) {
        const int fd = responder.connect_client();
        kept.push_back(fd);
        if (fd < 0 || !send_all(fd, request) || receive(fd, answer.size(), 10'000).bytes != answer) {
            ADD_FAILURE() << "connection " << i << " was not answered";
            break;
        }
    }
    const long grown = vm_rss_kib(responder.pid()) - before;
    for (const int fd : kept) {
        close(fd);
    }
    return grown;
}

// A connection kept open after a request costs only the pages it used, and
// params it never reads are not among them. A 16,000-byte cookie in each
// request costs a connection the input buffer's pages it came through,
// 16 KiB; kept with the params, it would cost twice that. Compared with the
// same requests without it, so that what the sanitizer adds to each
// connection's pages cancels out; that varies from one responder to the
// next under the sanitizer, so the plain requests are measured twice, around
// the others, and the larger counts.
TEST(ResponderMemoryTest, KeptConnectionsCostOnlyThePagesTheyUse)
{
    temp_site site;
    const stamp_exchange plain = stamp_of_index(site);
    const std::string with_cookie = request(1, pairs({{"HTTP_COOKIE", std::string(16'000, 'c')}}) + plain.params, true);
    const long first = growth_for_256_kept(plain.request, plain.answer);
    const long with = growth_for_256_kept(with_cookie, plain.answer);
    const long without = std::max(first, growth_for_256_kept(plain.request, plain.answer));
    std::printf("VmRSS grew %ld kB for 256 kept connections, %ld kB with a cookie in each request\n", without, with);
    EXPECT_GT(without, 0);
    constexpr long most_cookie_kib_each = 27;
    EXPECT_LT(with - without, 256 * most_cookie_kib_each);
}

} // namespace
} // namespace testing_support
