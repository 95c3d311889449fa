// The variables of an include under nginx, as the module derives them from
// its request: they must be what the fastcgi_pass snippet sends, or the two
// ways put different text into the same page.

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
    const char* location; // nullptr: not a prefix location
    std::optional<std::string> document_name;
    std::optional<std::string> path_info;
};

TEST(IncludeEnv, DerivesThePageAndPathInfoAsTheSnippetDoes)
{
    const std::optional<std::string> none;
    const include_case rows[] = {
        {"/docs/index.shtml", "/cgi-bin/pagestamp", "/cgi-bin/pagestamp", "index.shtml", none},
        {"/docs/index.shtml", "/cgi-bin/pagestamp/", "/cgi-bin/pagestamp", "index.shtml", "/"},
        {"/index.shtml", "/cgi-bin/pagestamp/a/b.html", "/cgi-bin/pagestamp", "index.shtml", "/a/b.html"},
        {"/index.shtml", "/cgi-bin/pagestamp//b.html", "/cgi-bin/pagestamp", "index.shtml", "//b.html"},
        // The split needs a "/" right after the prefix.
        {"/index.shtml", "/cgi-bin/pagestampx/b.html", "/cgi-bin/pagestamp", "index.shtml", none},
        // A final LF is left out, as "$" matches before it; one inside fails.
        {"/index.shtml", "/cgi-bin/pagestamp/b.html\n", "/cgi-bin/pagestamp", "index.shtml", "/b.html"},
        {"/index.shtml", "/cgi-bin/pagestamp/\n", "/cgi-bin/pagestamp", "index.shtml", "/"},
        {"/index.shtml", "/cgi-bin/pagestamp\n", "/cgi-bin/pagestamp", "index.shtml", none},
        {"/index.shtml", "/cgi-bin/pagestamp/a\nb", "/cgi-bin/pagestamp", "index.shtml", none},
        {"/index.shtml", "/cgi-bin/pagestamp/a\n\n", "/cgi-bin/pagestamp", "index.shtml", none},
        // A regular-expression or named location has no prefix to split at.
        {"/index.shtml", "/cgi-bin/pagestamp/b.html", nullptr, "index.shtml", none},
        {"/~ann/index.shtml", "/stamp/b.html", "/stamp", "index.shtml", "/b.html"},
        {"/~ann/", "/stamp", "/stamp", "", none},
        {"page.shtml", "/stamp", "/stamp", "page.shtml", none},
        // Asked for directly: no page, so the request is refused.
        {nullptr, "/cgi-bin/pagestamp/b.html", "/cgi-bin/pagestamp", none, "/b.html"},
    };
    for (const include_case& row : rows) {
        SCOPED_TRACE(std::string("page ") + (row.page_uri ? row.page_uri : "(none)") + " URI " + row.uri);
        const pagestamp_include include{text_of("www.example.org"), text_of("/srv/site"), text_of(row.page_uri),
                                        text_of(row.uri), text_of(row.location), text_of("%Y4")};
        const request_env env = include_env(include);
        EXPECT_EQ(present(env.document_uri), row.page_uri ? std::optional<std::string>(row.page_uri) : none);
        EXPECT_EQ(present(env.document_name), row.document_name);
        EXPECT_EQ(present(env.path_info), row.path_info);
        EXPECT_EQ(has_required_variables(env), row.page_uri != nullptr);
        EXPECT_EQ(env.query_string, "%Y4");
        EXPECT_EQ(env.server_name, "www.example.org");
        EXPECT_EQ(env.document_root, "/srv/site");
    }
}

} // namespace
} // namespace pagestamp
