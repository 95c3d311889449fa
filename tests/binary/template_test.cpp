// Templates through the built program: the whole path from QUERY_STRING to the
// bytes a page receives, whatever the locale.

#include "binary/response_check.hpp"

namespace testing_support {
namespace {

constexpr std::time_t july_1_2003 = 1057017600;

class TemplateTest : public page_test {};

TEST_F(TemplateTest, WorkedExamples)
{
    const struct {
        const char* query;
        std::string body;
    } rows[] = {
        {"%WL,+%ML+%DM,+%Y4+%H1:%PM+%A3+(%SA)", "Wednesday, April 2, 2003 3:07 p.m. (2.1k)"},
        {"%Y2%MP%DP-%P2%PM%PS", "030402-150709"},
        {"%SN:%DR%FP/%FN+%SB+%SK+%SM+%SG", "www.example.org:" + site.root + "/docs/index.shtml 2200 2.1 0.0 0.0"},
        {"100%25+sure%", "100% sure%"},
    };
    for (const auto& row : rows) {
        expect_response(run_with(env, {std::string("QUERY_STRING=") + row.query}), row.body, 0);
    }
}

TEST_F(TemplateTest, SameBytesInEveryLocale)
{
    const std::string query = "QUERY_STRING=%WL+%ML+%MS+%WS+%SA+%SK+%A3+%TZ";
    const std::string body = "Wednesday April Apr Wed 2.1k 2.1 p.m. UTC";
    for (const char* locale : {"C", "de_DE.UTF-8", "tr_TR.UTF-8", "fr_FR.UTF-8"}) {
        SCOPED_TRACE(locale);
        expect_response(run_with(env, {query, std::string("LANG=") + locale, std::string("LC_ALL=") + locale}),
                        body, 0);
    }
}

TEST_F(TemplateTest, ZoneOfTheModificationTime)
{
    site.add_file("site/summer.html", 1, july_1_2003);
    std::vector<std::string> london = env;
    london.erase(std::find(london.begin(), london.end(), "TZ=UTC"));
    london.emplace_back("TZ=Europe/London");
    expect_response(run_with(london, {"QUERY_STRING=%TZ", "PATH_INFO=//summer.html"}), "BST", 0);
    expect_response(run_with(london, {"QUERY_STRING=%TZ"}), "BST", 0); // 2 April 2003 was summer time too
    expect_response(run_with(london, {"QUERY_STRING=%TZ", "PATH_INFO=//summer.html", "TZ=UTC"}), "BST", 0);
}

TEST_F(TemplateTest, BodyLimitAndLargestEnvironmentString)
{
    std::string repeated;
    for (int i = 0; i < 1500; ++i) {
        repeated += "%WL";
    }
    std::string expected;
    for (int i = 0; i < 454; ++i) {
        expected += "Wednesday";
    }
    expect_response(run_with(env, {"QUERY_STRING=" + repeated}), expected, 0);

    // 128 KiB less one: the longest string one environment entry may hold.
    const std::string longest = "QUERY_STRING=" + std::string(131072 - 14, 'q');
    expect_response(run_with(env, {longest}), std::string(4094, 'q'), 0);
}

} // namespace
} // namespace testing_support
