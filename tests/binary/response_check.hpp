#pragma once
// Whole-response checks: the exact bytes on standard output, the exit status,
// and nothing at all on standard error.

#include "support/site.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace testing_support {

// Through a FastCGI responder (support/site.cpp) the header is framed the
// standard way, and the page text after it, CR included, is the same.
inline const std::string header = std::getenv("PAGESTAMP_TEST_FASTCGI") != nullptr
                                      ? "Content-type: text/plain\r\n\r\n\r"
                                      : "Content-type: text/plain\n\r\n\r";
inline const std::string program = PAGESTAMP_BINARY;

inline void expect_response(const run_result& result, const std::string& body, int exit_status)
{
    EXPECT_EQ(result.out, header + body);
    EXPECT_EQ(result.exit_status, exit_status);
    EXPECT_EQ(result.err, "");
}

inline std::string cannot_open(const std::string& path) { return "[Error: Couldn't open file '" + path + "']\n"; }

inline constexpr std::time_t april_2_2003_150709 = 1049296029;

// A site whose page /docs/index.shtml has 2200 bytes and was modified on
// Wednesday 2 April 2003 at 15:07:09 UTC, and the request for that page.
class page_test : public ::testing::Test {
protected:
    temp_site site;
    std::string page = site.add_file("site/docs/index.shtml", 2200, april_2_2003_150709);
    std::vector<std::string> env = request_environment(site, "/docs/index.shtml");
};

inline run_result run_with(std::vector<std::string> env, const std::vector<std::string>& extra)
{
    env.insert(env.end(), extra.begin(), extra.end());
    return run_program(program, env);
}

} // namespace testing_support
