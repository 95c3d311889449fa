// The variables of an include under nginx, as the module derives them from
// its request: they must be what Apache sets for the same include, or a page
// moved from Apache to nginx changes its text.

#include "nginx/include_env.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pagestamp {
namespace {

pagestamp_text text_of(const char* text)
{
    if (text == nullptr) {
        return {nullptr, 0};
    }
    return {reinterpret_cast<const unsigned char*>(text), std::char_traits<char>::length(text)};
}

std::optional<std::string> present(std::string_view value)
{
    if (value.data() == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

struct include_case {
    const char* page_uri; // nullptr: asked for directly
    const char* uri;
    const char* location; // the location's name without a final "/"
    const char* args;
    std::optional<std::string> document_name;
    std::optional<std::string> path_info;
    std::string query_string;
};

TEST(IncludeEnv, DerivesThePageAndPathInfoAsApacheDoes)
{
    const std::optional<std::string> none;
    const include_case rows[] = {
        {"/docs/index.shtml", "/cgi-bin/pagestamp", "/cgi-bin/pagestamp", "%Y4", "index.shtml", none, "%Y4"},
        {"/docs/index.shtml", "/cgi-bin/pagestamp/", "/cgi-bin/pagestamp", "%Y4", "index.shtml", "/", "%Y4"},
        {"/index.shtml", "/cgi-bin/pagestamp/a/b.html", "/cgi-bin/pagestamp", "%Y4", "index.shtml", "/a/b.html", "%Y4"},
        // Apache merges slashes and drops "." segments before the program runs.
        {"/index.shtml", "/cgi-bin/pagestamp//b.html", "/cgi-bin/pagestamp", "", "index.shtml", "/b.html", ""},
        {"/index.shtml", "/cgi-bin/pagestamp/a///b//", "/cgi-bin/pagestamp", "", "index.shtml", "/a/b/", ""},
        {"/index.shtml", "/cgi-bin/pagestamp/./a/./b.html", "/cgi-bin/pagestamp", "", "index.shtml", "/a/b.html", ""},
        {"/index.shtml", "/cgi-bin/pagestamp/a/.", "/cgi-bin/pagestamp", "", "index.shtml", "/a/", ""},
        {"/index.shtml", "/cgi-bin/pagestamp/.//./", "/cgi-bin/pagestamp", "", "index.shtml", "/", ""},
        {"/index.shtml", "/cgi-bin/pagestamp/.a/b./.", "/cgi-bin/pagestamp", "", "index.shtml", "/.a/b./", ""},
        // A fragment is cut off; one in the path takes the query with it.
        {"/index.shtml", "/cgi-bin/pagestamp/b.html", "/cgi-bin/pagestamp", "%FN#top", "index.shtml", "/b.html", "%FN"},
        {"/index.shtml", "/cgi-bin/pagestamp/b#x.html", "/cgi-bin/pagestamp", "%FN", "index.shtml", "/b", ""},
        {"/index.shtml", "/cgi-bin/pagestamp#x", "/cgi-bin/pagestamp", "%FN", "index.shtml", none, ""},
        // A line end is a byte of the path like any other.
        {"/index.shtml", "/cgi-bin/pagestamp/a\nb\n", "/cgi-bin/pagestamp", "", "index.shtml", "/a\nb\n", ""},
        {"/index.shtml", "/stamp", "", "", "index.shtml", "/stamp", ""},
        {"/~ann/index.shtml", "/stamp/b.html", "/stamp", "", "index.shtml", "/b.html", ""},
        {"/~ann/", "/stamp", "/stamp", "", "", none, ""},
        {"page.shtml", "/stamp", "/stamp", "", "page.shtml", none, ""},
        // Asked for directly: no page, so the request is refused.
        {nullptr, "/cgi-bin/pagestamp/b.html", "/cgi-bin/pagestamp", "", none, "/b.html", ""},
    };
    for (const include_case& row : rows) {
        SCOPED_TRACE(std::string("page ") + (row.page_uri ? row.page_uri : "(none)") + " URI " + row.uri);
        std::string room(std::char_traits<char>::length(row.uri), '?');
        const pagestamp_include include{text_of("www.example.org"), text_of("/srv/site"), text_of(row.page_uri),
                                        text_of(row.uri), text_of(row.location), text_of(row.args),
                                        reinterpret_cast<unsigned char*>(room.data())};
        const request_env env = include_env(include);
        EXPECT_EQ(present(env.document_uri), row.page_uri ? std::optional<std::string>(row.page_uri) : none);
        EXPECT_EQ(present(env.document_name), row.document_name);
        EXPECT_EQ(present(env.path_info), row.path_info);
        EXPECT_EQ(has_required_variables(env), row.page_uri != nullptr);
        EXPECT_EQ(env.query_string, row.query_string);
        EXPECT_EQ(env.server_name, "www.example.org");
        EXPECT_EQ(env.document_root, "/srv/site");
    }
}

} // namespace
} // namespace pagestamp
