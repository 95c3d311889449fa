// The request path through the built program: header, refusal, every way of
// naming a file, the can't-open message and the default stamp.

#include "binary/response_check.hpp"

#include <unistd.h>

namespace testing_support {
namespace {

constexpr std::time_t december_25_2003_noon = 1072353600;
constexpr std::time_t april_2_2003_2330 = 1049326200;

class RequestTest : public page_test {};

TEST_F(RequestTest, DefaultStampWhenNoTemplate)
{
    site.add_file("site/xmas.html", 10, december_25_2003_noon);
    expect_response(run_with(env, {}), "2003-4-2", 0);
    expect_response(run_with(env, {"QUERY_STRING="}), "2003-4-2", 0);
    expect_response(run_with(env, {"PATH_INFO=//xmas.html"}), "2003-12-25", 0);
}

TEST_F(RequestTest, LocalTimeFollowsTZ)
{
    site.add_file("site/late.html", 1, april_2_2003_2330);
    std::vector<std::string> base = request_environment(site, "/late.html");
    base.erase(std::find(base.begin(), base.end(), "TZ=UTC"));
    expect_response(run_with(base, {"TZ=UTC"}), "2003-4-2", 0);
    expect_response(run_with(base, {"TZ=Asia/Tokyo"}), "2003-4-3", 0);
    expect_response(run_with(base, {"TZ=America/New_York"}), "2003-4-2", 0);
}

TEST_F(RequestTest, RefusesWhenARequiredVariableIsMissing)
{
    const std::string refusal = "<P>One or more required environment variables was missing.</P>\n";
    for (const char* missing : {"SERVER_NAME", "DOCUMENT_ROOT", "DOCUMENT_URI", "DOCUMENT_NAME"}) {
        std::vector<std::string> without;
        for (const std::string& entry : env) {
            if (entry.rfind(std::string(missing) + "=", 0) != 0) {
                without.push_back(entry);
            }
        }
        SCOPED_TRACE(missing);
        // The template is never looked at, and neither is the file.
        expect_response(run_with(without, {"QUERY_STRING=%WL"}), refusal, 255);
    }
    expect_response(run_program(program, {}), refusal, 255);
}

TEST_F(RequestTest, EmptyValuesCountAsPresent)
{
    std::vector<std::string> empty_name = env;
    empty_name[0] = "SERVER_NAME=";
    expect_response(run_with(empty_name, {"QUERY_STRING=[%SN]"}), "[]", 0);
    std::vector<std::string> empty_doc_name = env;
    empty_doc_name[3] = "DOCUMENT_NAME=";
    expect_response(run_with(empty_doc_name, {}), "2003-4-2", 0);
}

TEST_F(RequestTest, NamesEachWayOfLocatingAFile)
{
    const std::string ann = site.add_user("ann");
    site.add_file("site/docs/other.html", 1, december_25_2003_noon);
    site.add_file("site/top.html", 1, december_25_2003_noon);
    site.add_file("home/ann/www/pub/a.html", 1, december_25_2003_noon);
    site.add_file("home/ann/www/index.shtml", 1, december_25_2003_noon);
    site.add_file("home/ann/www/x/b.html", 1, december_25_2003_noon);
    const struct {
        const char* uri;
        const char* path_info;
        const char* body;
    } rows[] = {
        {"/docs/index.shtml", nullptr, "2003-4-2|/docs|index.shtml"},
        {"/docs/index.shtml", "/", "2003-4-2||"},
        {"/docs/index.shtml", "/other.html", "2003-12-25||other.html"},
        {"/docs/index.shtml", "//top.html", "2003-12-25|/|top.html"},
        {"/docs/index.shtml", "x/top.html", "2003-12-25|x|top.html"},
        {"/docs/index.shtml", "/~ann/pub/a.html", "2003-12-25|/~ann/pub|a.html"},
        {"/~ann/index.shtml", nullptr, "2003-12-25|/~ann|index.shtml"},
        {"/~ann/x/index.shtml", "/b.html", "2003-12-25||b.html"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> request = request_environment(site, row.uri);
        request.emplace_back("QUERY_STRING=%Y4-%MN-%DM|%FP|%FN");
        if (row.path_info != nullptr) {
            request.push_back(std::string("PATH_INFO=") + row.path_info);
        }
        SCOPED_TRACE(std::string(row.uri) + " " + (row.path_info ? row.path_info : "(absent)"));
        expect_response(run_program(program, request), row.body, 0);
    }
}

TEST_F(RequestTest, CannotOpenNamesTheBuiltPath)
{
    const std::string ann = site.add_user("ann");
    site.add_file("site/plain.txt", 1, april_2_2003_150709);
    ASSERT_EQ(symlink((site.root + "/nowhere").c_str(), (site.root + "/dangling").c_str()), 0);
    const std::string docs = site.root + "/docs";
    const struct {
        const char* path_info;
        std::string message;
    } rows[] = {
        {"/missing.html", cannot_open(docs + "/missing.html")},
        {"//dangling", cannot_open(site.root + "/dangling")},
        {"//plain.txt/inside", cannot_open(site.root + "/plain.txt/inside")},
        {"/~ann/none.html", cannot_open(ann + "/www/none.html")},
        {"/~nobody/a.html", cannot_open("~nobody/www/a.html")},
        {"/~ann", cannot_open(ann + "/www")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path_info);
        // A template is never looked at before the file is known.
        expect_response(run_with(env, {std::string("PATH_INFO=") + row.path_info, "QUERY_STRING=%WL"}),
                        row.message, 1);
    }
}

TEST_F(RequestTest, SizesFrom2GiBCannotBeShown)
{
    site.add_file("site/largest.bin", 2147483647LL, april_2_2003_150709);
    site.add_file("site/too-large.bin", 2147483648LL, april_2_2003_150709);
    expect_response(run_with(env, {"PATH_INFO=//largest.bin", "QUERY_STRING=%SB"}), "2147483647", 0);
    expect_response(run_with(env, {"PATH_INFO=//too-large.bin"}), cannot_open(site.root + "/too-large.bin"), 1);
}

TEST_F(RequestTest, IgnoresArgumentsAndStandardInput)
{
    // A server passes a query string without "=" as command-line words.
    const std::string input = site.add_file("stdin.txt", 100, april_2_2003_150709);
    const run_result result = run_program(program, env, {"%WL", "--help", "-v"}, input);
    expect_response(result, "2003-4-2", 0);
}

TEST_F(RequestTest, DocumentPathCapacity)
{
    for (const std::size_t length : {253U, 254U, 255U}) {
        const std::string name(length - 1, 'n');
        site.add_file("site/docs/" + name, 1, december_25_2003_noon);
        const run_result result = run_with(env, {"PATH_INFO=/" + name});
        SCOPED_TRACE(length);
        expect_response(result, length <= 254 ? "2003-12-25" : cannot_open(site.root + "/docs/" + name),
                        length <= 254 ? 0 : 1);
    }
}

} // namespace
} // namespace testing_support
