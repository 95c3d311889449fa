// The locator's rules, row by row, with the password database faked by
// nss_wrapper: ann lives in /home/ann, bob in /srv/users/bob/ (trailing "/").

#include "request/locate_document.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace pagestamp {
namespace {

struct locator_case {
    const char* uri;
    const char* path_info;
    std::string file_path;
    const char* doc_dir;
    const char* doc_file;
    bool found;
};

request_env env_of(const char* uri, const char* path_info, std::string_view root = "/srv/site")
{
    request_env env;
    env.server_name = "www.example.org";
    env.document_root = root;
    env.document_uri = uri;
    env.document_name = "index.shtml";
    env.path_info = path_info;
    return env;
}

doc_location locate(const char* uri, const char* path_info, std::string_view root = "/srv/site")
{
    return locate_document(env_of(uri, path_info, root));
}

// A path through a home (or the "~name" of an unknown user) is the mark of
// a lookup: the server must know of each beforehand, to wait for it aside.
bool looked_up(std::string_view file_path)
{
    return file_path.starts_with("/home/") || file_path.starts_with("/srv/users/") || file_path.starts_with("~");
}

void expect_location(const locator_case& row)
{
    SCOPED_TRACE(std::string("URI ") + row.uri + " PATH_INFO " + row.path_info);
    const doc_location where = locate(row.uri, row.path_info);
    EXPECT_EQ(names_user(env_of(row.uri, row.path_info)), looked_up(where.file_path.view()));
    EXPECT_EQ(where.file_path.view(), row.file_path);
    EXPECT_EQ(where.doc_dir, row.doc_dir);
    EXPECT_EQ(where.doc_file, row.doc_file);
    EXPECT_EQ(where.found, row.found);
}

TEST(LocateDocument, FollowsEachRule)
{
    const locator_case rows[] = {
        {"/index.shtml", "", "/srv/site/index.shtml", "", "index.shtml", true},
        {"/docs/index.shtml", "", "/srv/site/docs/index.shtml", "/docs", "index.shtml", true},
        {"/docs/index.shtml", "/", "/srv/site/docs/index.shtml", "", "", true},
        {"/docs/index.shtml", "/other.html", "/srv/site/docs/other.html", "", "other.html", true},
        {"/docs/index.shtml", "/sub/b.html", "/srv/site/docs/sub/b.html", "/sub", "b.html", true},
        {"/docs/index.shtml", "//top.html", "/srv/site/top.html", "/", "top.html", true},
        {"/~ann/index.shtml", "//top.html", "/srv/site/top.html", "/", "top.html", true},
        {"/docs/index.shtml", "/~ann/pub/a.html", "/home/ann/www/pub/a.html", "/~ann/pub", "a.html", true},
        {"/~ann/index.shtml", "", "/home/ann/www/index.shtml", "/~ann", "index.shtml", true},
        {"/~ann/x/index.shtml", "/b.html", "/home/ann/www/x/b.html", "", "b.html", true},
        // Only the second character picks the rule; the first is never looked at.
        {"/docs/index.shtml", "x/a/b.html", "/srv/site/a/b.html", "x/a", "b.html", true},
        {"/docs/index.shtml", "x~ann/a.html", "/home/ann/www/a.html", "x~ann", "a.html", true},
        {"/docs/index.shtml", "//a/b.html", "/srv/site/a/b.html", "//a", "b.html", true},
        // Nothing is normalised or confined.
        {"/docs/index.shtml", "/../etc/x", "/srv/site/docs/../etc/x", "/../etc", "x", true},
        {"/docs/index.shtml", "/sub/", "/srv/site/docs/sub/", "/sub", "", true},
        // A home directory is used whatever it holds.
        {"/docs/index.shtml", "/~bob/a.html", "/srv/users/bob//www/a.html", "/~bob", "a.html", true},
        {"/~bob/index.shtml", "/c.html", "/srv/users/bob//www/c.html", "", "c.html", true},
        {"/~ann/index.shtml", "/", "/home/ann/www/index.shtml", "", "", true},
        {"/~ann/", "", "/home/ann/www/", "/~ann", "", true},
        {"/docs/index.shtml", "/~ann/", "/home/ann/www/", "/~ann", "", true},
    };
    for (const locator_case& row : rows) {
        expect_location(row);
    }
}

TEST(LocateDocument, EndsOddRequestsWithAPathThatSaysWhatWasAsked)
{
    const locator_case rows[] = {
        // No password entry: the home is unknown, so the request is named.
        {"/docs/index.shtml", "/~nobody/a.html", "~nobody/www/a.html", "/~nobody", "a.html", false},
        {"/~nobody/index.shtml", "", "~nobody/www/index.shtml", "/~nobody", "index.shtml", false},
        {"/docs/index.shtml", "/~/a.html", "~/www/a.html", "/~", "a.html", false},
        // A user name with no "/" after it names a directory, not a file.
        {"/docs/index.shtml", "/~ann", "/home/ann/www", "", "~ann", false},
        {"/~ann", "", "/home/ann/www", "", "~ann", false},
        {"/~nobody", "/x.html", "~nobody/www/x.html", "", "x.html", false},
        // No "/" at all: the page's directory is empty.
        {"index.shtml", "", "/srv/siteindex.shtml", "", "index.shtml", true},
        {"index.shtml", "x.html", "/srv/sitex.html", "", "x.html", true},
        {"/docs/index.shtml", "a", "/srv/site/docsa", "", "a", true},
    };
    for (const locator_case& row : rows) {
        expect_location(row);
    }
}

TEST(LocateDocument, DocumentPathCapacityIs254)
{
    for (const std::size_t length : {253U, 254U, 255U, 4000U}) {
        const std::string path_info = "/" + std::string(length - 1, 'a');
        const doc_location where = locate("/docs/index.shtml", path_info.c_str());
        EXPECT_EQ(where.found, length <= document_path_capacity) << length;
        if (length + 14 <= path_text::capacity) {
            EXPECT_EQ(where.file_path.view(), "/srv/site/docs" + path_info);
        }
        EXPECT_EQ(where.doc_file, path_info.substr(1));
    }
}

TEST(LocateDocument, FilesystemPathCapacityIs1023AndKeepsItsStart)
{
    // The root is the only part past the document path's own limit.
    for (const std::size_t length : {1022U, 1023U, 1024U, 200000U}) {
        const std::string root = "/" + std::string(length - 13, 'r');
        const doc_location where = locate("/index.shtml", "", root);
        const std::string full = root + "/index.shtml";
        ASSERT_EQ(full.size(), length);
        EXPECT_EQ(where.found, length <= path_text::capacity) << length;
        EXPECT_EQ(where.file_path.view(), full.substr(0, path_text::capacity)) << length;
    }
}

TEST(LocateDocument, LongUserNamesAreUnknownUsers)
{
    const std::string name(300, 'u');
    const std::string path_info = "/~" + name + "/a.html";
    const doc_location where = locate("/index.shtml", path_info.c_str());
    EXPECT_FALSE(where.found);
    EXPECT_EQ(where.file_path.view(), "~" + name + "/www/a.html");
}

// An entry too long for the first lookup is asked for again in more room:
// the caller's stack, or the memory a server lends the request. Past the
// most we take, or with no memory lent, the lookup fails, as one without
// resources does.
TEST(LocateDocument, LongPasswordEntriesInEachKindOfRoom)
{
    struct arena {
        std::vector<char> bytes;
        std::size_t asked = 0;
        std::size_t given_back = 0;
    };
    const auto take = [](void* pool, std::size_t size) -> void* {
        auto& a = *static_cast<arena*>(pool);
        a.asked += size;
        a.bytes.resize(size);
        return a.bytes.data();
    };
    const auto give_back = [](void* pool, void* bytes) {
        auto& a = *static_cast<arena*>(pool);
        a.given_back += bytes == a.bytes.data() ? a.bytes.size() : 0;
    };
    const auto none = [](void*, std::size_t) -> void* { return nullptr; };
    const struct {
        const char* user;
        bool lent;     // memory from a pool, else the stack
        bool pool_has; // the pool has it to give
        bool found;
        std::size_t asked; // of the pool
    } rows[] = {
        {"ann", true, true, true, 0},           {"long", false, true, true, 0},
        {"long", true, true, true, 65536},      {"longer", false, true, true, 0},
        {"longer", true, true, true, 65536},    {"crowded", false, true, false, 0},
        {"crowded", true, true, false, 65536},  {"long", true, false, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.user) + (row.lent ? " in a pool" : " on the stack"));
        arena pool;
        const request_memory memory{row.pool_has ? +take : +none, &pool, +give_back};
        request_env env;
        env.document_root = "/srv/site";
        env.document_uri = "/index.shtml";
        const std::string path_info = std::string("/~") + row.user + "/a.html";
        env.path_info = path_info;
        env.memory = row.lent ? &memory : nullptr;
        const doc_location where = locate_document(env);
        EXPECT_EQ(where.lookup_failed, !row.found);
        if (row.found) {
            EXPECT_EQ(where.file_path.view(), std::string("/home/") + row.user + "/www/a.html");
        }
        EXPECT_EQ(pool.asked, row.asked);
        EXPECT_EQ(pool.given_back, row.asked);
    }
}

// With every descriptor taken the password file cannot be read, and that is
// not the same as a user who does not exist.
TEST(LocateDocument, ALookupWithoutDescriptorsIsNoUnknownUser)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
        taken.push_back(fd);
    }
    const doc_location starved = locate("/index.shtml", "/~ann/a.html");
    const doc_location unknown = locate("/index.shtml", "/~nobody-here/a.html");
    for (const int fd : taken) {
        close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(starved.lookup_failed);
    EXPECT_TRUE(unknown.lookup_failed);

    const doc_location fed = locate("/index.shtml", "/~ann/a.html");
    EXPECT_FALSE(fed.lookup_failed);
    EXPECT_EQ(fed.file_path.view(), "/home/ann/www/a.html");
    EXPECT_FALSE(locate("/index.shtml", "/~nobody-here/a.html").lookup_failed);
}

} // namespace
} // namespace pagestamp
