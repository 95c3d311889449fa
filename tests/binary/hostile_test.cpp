// Environments a page author or a misconfigured server can hand the program:
// the largest strings Linux passes, every byte value, each capacity at N-1, N
// and N+1, and filesystem entries that stat refuses. Every one must end in the
// header and an orderly body, with nothing on standard error.

#include "binary/response_check.hpp"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {
namespace {

constexpr std::time_t december_25_2003_noon = 1072353600;

// Linux refuses an environment string of more than 128 KiB, NUL included.
constexpr std::size_t largest_env_string = 131072;

std::vector<std::string> with(std::vector<std::string> env, const std::string& name, const std::string& value)
{
    const std::string prefix = name + "=";
    std::erase_if(env, [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
    env.push_back(prefix + value);
    return env;
}

std::string every_byte()
{
    std::string bytes;
    for (int c = 1; c <= 255; ++c) {
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

std::string plus_as_space(std::string text)
{
    std::replace(text.begin(), text.end(), '+', ' ');
    return text;
}

struct variable_case {
    const char* name;
    std::string value;
    std::string query; // empty: none
    std::string body;
    int status;
};

void expect_cases(const std::vector<std::string>& env, const std::vector<variable_case>& rows)
{
    for (const variable_case& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " of " + std::to_string(row.value.size()) + " bytes");
        std::vector<std::string> request = with(env, row.name, row.value);
        if (!row.query.empty()) {
            request = with(request, "QUERY_STRING", row.query);
        }
        expect_response(run_program(program, request), row.body, row.status);
    }
}

class HostileTest : public page_test {};

TEST_F(HostileTest, EachVariableAtTheLargestSizeLinuxPasses)
{
    const auto largest = [](const std::string& name, char fill, const std::string& start = "") {
        return start + std::string(largest_env_string - name.size() - 2 - start.size(), fill);
    };
    const std::string root = largest("DOCUMENT_ROOT", 'r', "/");
    const std::string uri = largest("DOCUMENT_URI", 'u', "/");
    const std::string info = largest("PATH_INFO", 'p', "/");
    // A piece too long for what is left of the body is dropped whole; a
    // later, shorter one still fits.
    const std::size_t query_size = largest("QUERY_STRING", 'q').size();
    const std::size_t codes = (query_size - 3) / 3;
    std::string query = "+";
    for (std::size_t i = 0; i < codes; ++i) {
        query += "%SB";
    }
    query.append(query_size - query.size(), '+');
    std::string sizes;
    for (int i = 0; i < 1023; ++i) {
        sizes += "2200";
    }
    expect_cases(env, {
        {"SERVER_NAME", largest("SERVER_NAME", 's'), "[%SN]", "[]", 0},
        {"DOCUMENT_ROOT", root, "", cannot_open(root.substr(0, 1023)), 1},
        {"DOCUMENT_URI", uri, "", cannot_open((site.root + uri).substr(0, 1023)), 1},
        {"DOCUMENT_NAME", largest("DOCUMENT_NAME", 'n'), "", "2003-4-2", 0},
        {"PATH_INFO", info, "", cannot_open((site.root + "/docs" + info).substr(0, 1023)), 1},
        {"QUERY_STRING", query, "", " " + sizes + " ", 0},
    });

    std::vector<std::string> all = with(env, "SERVER_NAME", largest("SERVER_NAME", 's'));
    all = with(all, "DOCUMENT_ROOT", root);
    all = with(all, "DOCUMENT_URI", uri);
    all = with(all, "DOCUMENT_NAME", largest("DOCUMENT_NAME", 'n'));
    all = with(all, "PATH_INFO", info);
    all = with(all, "QUERY_STRING", query);
    expect_response(run_program(program, all), cannot_open(root.substr(0, 1023)), 1);
}

// Past what a server takes in a request line (8 KiB) and up to what one
// FastCGI record carries: a responder keeps them all, as the CGI reads them.
TEST_F(HostileTest, ValuesPastARequestLineUpToARecord)
{
    std::vector<variable_case> rows;
    for (const std::size_t size : {8191U, 10240U, 65535U}) {
        const std::string info = "/" + std::string(size - 1, 'p');
        const std::string user = std::string(size - 4, 'u');
        const std::string root = "/" + std::string(size - 1, 'r');
        std::string query;
        std::string expanded;
        for (std::size_t i = 0; i < size / 3; ++i) {
            query += "%78";
            expanded += 'x';
        }
        query.append(size % 3, '+');
        expanded.append(size % 3, ' ');
        rows.push_back({"PATH_INFO", info, "", cannot_open((site.root + "/docs" + info).substr(0, 1023)), 1});
        rows.push_back({"PATH_INFO", "/~" + user + "/a", "", cannot_open(("~" + user).substr(0, 1023)), 1});
        rows.push_back({"QUERY_STRING", query, "", expanded.substr(0, 4094), 0});
        rows.push_back({"DOCUMENT_ROOT", root, "", cannot_open(root.substr(0, 1023)), 1});
    }
    expect_cases(env, rows);
}

TEST_F(HostileTest, EveryByteValueInEachVariable)
{
    const std::string bytes = every_byte();
    std::string escapes;
    std::string decoded;
    for (int c = 1; c <= 255; ++c) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", c);
        escapes += std::string("%") + hex;
        // Codes win over escapes: %A1 to %A4 are the half-day texts of 15:07.
        const std::string half_day[] = {"pm", "PM", "p.m.", "P.M."};
        decoded += c >= 0xA1 && c <= 0xA4 ? half_day[c - 0xA1] : std::string(1, static_cast<char>(c));
    }
    expect_cases(env, {
        {"SERVER_NAME", bytes, "%SN", bytes, 0},
        {"DOCUMENT_ROOT", bytes, "", cannot_open(bytes + "/docs/index.shtml"), 1},
        {"DOCUMENT_URI", bytes, "", cannot_open(site.root + bytes), 1},
        {"DOCUMENT_NAME", bytes, "", "2003-4-2", 0},
        {"PATH_INFO", bytes, "", cannot_open(site.root + "/docs" + bytes), 1},
        {"QUERY_STRING", bytes, "", plus_as_space(bytes), 0},
        {"QUERY_STRING", escapes, "", decoded, 0},
    });
}

TEST_F(HostileTest, TemplatesThatEndInsideASequence)
{
    const struct {
        const char* query;
        const char* body;
    } rows[] = {
        {"%", "%"},         {"%A", "%A"},       {"x%", "x%"},     {"x%A", "x%A"},
        {"%WL%", "Wednesday%"}, {"%WL%A", "Wednesday%A"}, {"%%", "%%"}, {"%%%", "%%%"},
        {"%A1%A", "pm%A"},  {"%2F%2", "/%2"},   {"+%+", " %+"}, {"%+A", "%+A"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query);
        expect_response(run_with(env, {std::string("QUERY_STRING=") + row.query}), row.body, 0);
    }
}

TEST_F(HostileTest, UnknownUsersAndUserNamesWithoutASlash)
{
    const std::string ann = site.add_user("ann");
    const struct {
        const char* uri;
        const char* path_info; // nullptr: absent
        std::string body;
    } rows[] = {
        {"/~nobody", nullptr, cannot_open("~nobody/www")},
        {"/~ann", nullptr, cannot_open(ann + "/www")},
        {"/docs/index.shtml", "/~", cannot_open("~/www")},
        {"/docs/index.shtml", "/~/", cannot_open("~/www/")},
        {"/docs/index.shtml", "/~../x", cannot_open("~../www/x")},
        {"/~nobody/index.shtml", "/a.html", cannot_open("~nobody/www/a.html")},
        {"/docs/index.shtml", "/~ann%2F..", cannot_open("~ann%2F../www")},
    };
    for (const auto& row : rows) {
        std::vector<std::string> request = with(env, "DOCUMENT_URI", row.uri);
        if (row.path_info != nullptr) {
            request.push_back(std::string("PATH_INFO=") + row.path_info);
        }
        SCOPED_TRACE(std::string(row.uri) + " " + (row.path_info != nullptr ? row.path_info : "(absent)"));
        expect_response(run_with(request, {"QUERY_STRING=%WL"}), row.body, 1);
    }
}

TEST_F(HostileTest, UserNameCapacity)
{
    // Linux allows account names of 255 characters. Such a name does not fit
    // a document path of 254, so it comes from the page's DOCUMENT_URI while
    // PATH_INFO names the file.
    for (const std::size_t length : {254U, 255U, 256U}) {
        SCOPED_TRACE(length);
        const std::string name(length, 'u');
        // A home directory name of 256 characters cannot be made, but the
        // password entry is there and must still not be looked up.
        site.add_user(name);
        const bool fits = length <= 255;
        if (fits) {
            site.add_file("home/" + name + "/www/a.html", 1, december_25_2003_noon);
        }
        expect_response(run_with(with(env, "DOCUMENT_URI", "/~" + name + "/index.shtml"), {"PATH_INFO=/a.html"}),
                        fits ? "2003-12-25" : cannot_open("~" + name + "/www/a.html"), fits ? 0 : 1);
    }
}

TEST_F(HostileTest, DocumentPathCapacityByEveryRule)
{
    const std::string ann = site.add_user("ann");
    for (const std::size_t length : {253U, 254U, 255U}) {
        SCOPED_TRACE(length);
        const std::string by_uri = "/" + std::string(length - 1, 'u');
        const std::string by_root = "//" + std::string(length - 2, 'r');
        const std::string by_user = "/~ann/" + std::string(length - 6, 'a');
        site.add_file("site" + by_uri, 1, december_25_2003_noon);
        site.add_file("site/" + by_root.substr(2), 1, december_25_2003_noon);
        site.add_file("home/ann/www/" + by_user.substr(6), 1, december_25_2003_noon);
        const bool fits = length <= 254;
        expect_response(run_with(with(env, "DOCUMENT_URI", by_uri), {}),
                        fits ? "2003-12-25" : cannot_open(site.root + by_uri), fits ? 0 : 1);
        expect_response(run_with(env, {"PATH_INFO=" + by_root}),
                        fits ? "2003-12-25" : cannot_open(site.root + by_root.substr(1)), fits ? 0 : 1);
        expect_response(run_with(env, {"PATH_INFO=" + by_user}),
                        fits ? "2003-12-25" : cannot_open(ann + "/www" + by_user.substr(5)), fits ? 0 : 1);
    }
}

TEST_F(HostileTest, FilesystemPathCapacity)
{
    for (const std::size_t length : {1022U, 1023U, 1024U}) {
        SCOPED_TRACE(length);
        // A real directory chain whose root makes root + "/f" exactly `length`.
        std::string relative = "deep" + std::to_string(length);
        while (site.base.size() + 1 + relative.size() + 2 < length) {
            const std::size_t left = length - (site.base.size() + 1 + relative.size() + 2);
            relative += "/" + std::string(std::min<std::size_t>(200, left - 1), 'd');
            if (left == 1) {
                relative.back() = 'e';
            }
        }
        const std::string root = site.base + "/" + relative;
        ASSERT_EQ(root.size() + 2, length);
        site.add_file(relative + "/f", 1, december_25_2003_noon);
        std::vector<std::string> request = with(with(env, "DOCUMENT_ROOT", root), "DOCUMENT_URI", "/f");
        expect_response(run_program(program, request),
                        length <= 1023 ? "2003-12-25" : cannot_open((root + "/f").substr(0, 1023)),
                        length <= 1023 ? 0 : 1);
    }
}

TEST_F(HostileTest, ZoneAbbreviationCapacity)
{
    for (const std::size_t length : {18U, 19U, 20U}) {
        const std::string zone = std::string("ABCDEFGHIJKLMNOPQRST").substr(0, length);
        SCOPED_TRACE(zone);
        expect_response(run_with(with(env, "TZ", "<" + zone + ">0"), {"QUERY_STRING=[%TZ]"}),
                        "[" + (length <= 19 ? zone : "") + "]", 0);
    }
}

TEST_F(HostileTest, BodyCapacity)
{
    const std::string x4093(4093, 'x');
    const std::string name4094(4094, 's');
    const std::string name4095(4095, 's');
    const std::string ann = site.add_user("ann");
    site.add_file("home/ann/www/a.html", 1, december_25_2003_noon);
    const struct {
        std::string server_name;
        std::string root;
        std::string query;
        std::string body;
    } rows[] = {
        {"s", site.root, x4093, x4093},
        {"s", site.root, x4093 + "x", x4093 + "x"},
        {"s", site.root, x4093 + "xx", x4093 + "x"},
        {"s", site.root, x4093 + "%WL+", x4093 + " "},
        {"s", site.root, x4093 + "%2F%00%2F", x4093 + "/"},
        {name4094, site.root, "%SN", name4094},
        {name4094, site.root, "%SN+", name4094},
        {name4095, site.root, "%SN+", " "},
        {name4094, site.root, "a%SN", "a"},
        // The root is free to be long when the file lies in a user's directory.
        {"s", "/" + std::string(4093, 'r'), "%DR", "/" + std::string(4093, 'r')},
        {"s", "/" + std::string(4094, 'r'), "%DR.", "."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query.substr(row.query.size() > 12 ? row.query.size() - 12 : 0) + " SN " +
                     std::to_string(row.server_name.size()) + " DR " + std::to_string(row.root.size()));
        std::vector<std::string> request = with(with(env, "SERVER_NAME", row.server_name), "DOCUMENT_ROOT", row.root);
        expect_response(run_with(request, {"PATH_INFO=/~ann/a.html", "QUERY_STRING=" + row.query}), row.body, 0);
    }
}

TEST_F(HostileTest, LargestSizesAndSizesPast2GiB)
{
    site.add_file("site/largest.bin", 2147483647LL, december_25_2003_noon);
    expect_response(run_with(env, {"PATH_INFO=//largest.bin", "QUERY_STRING=%SA|%SB|%SK|%SM|%SG"}),
                    "2.0G|2147483647|2097152.0|2048.0|2.0", 0);
    // Past 2 GiB, including sizes whose low 32 bits look small.
    for (const long long size : {1LL << 32, (1LL << 32) + 100, (1LL << 32) + 2147483647LL, 1LL << 40}) {
        SCOPED_TRACE(size);
        const std::string name = "big-" + std::to_string(size);
        site.add_file("site/" + name, size, december_25_2003_noon);
        expect_response(run_with(env, {"PATH_INFO=//" + name, "QUERY_STRING=%SB"}), cannot_open(site.root + "/" + name),
                        1);
    }
}

TEST_F(HostileTest, EntriesStatRefusesOrNeverOpens)
{
    const std::string& root = site.root;
    ASSERT_EQ(symlink("loop", (root + "/loop").c_str()), 0);
    ASSERT_EQ(symlink("mutual-b", (root + "/mutual-a").c_str()), 0);
    ASSERT_EQ(symlink("mutual-a", (root + "/mutual-b").c_str()), 0);
    // Linux follows at most 40 links in one lookup.
    site.add_file("site/target.html", 1, december_25_2003_noon);
    std::string previous = "target.html";
    for (int i = 1; i <= 41; ++i) {
        const std::string link = "chain" + std::to_string(i);
        ASSERT_EQ(symlink(previous.c_str(), (root + "/" + link).c_str()), 0);
        previous = link;
    }
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
    const std::string too_long_name(256, 'n');

    const struct {
        std::string root;
        std::string path_info;
        std::string body;
        int status;
    } rows[] = {
        {root, "//loop", cannot_open(root + "/loop"), 1},
        {root, "//mutual-a", cannot_open(root + "/mutual-a"), 1},
        {root, "//chain39", "1", 0},
        {root, "//chain40", "1", 0},
        {root, "//chain41", cannot_open(root + "/chain41"), 1},
        {root + "/" + too_long_name, "//a.html", cannot_open(root + "/" + too_long_name + "/a.html"), 1},
        // Never opened, so neither a FIFO nor a device can hold the program up.
        {root, "//fifo", "0", 0},
        {"/dev", "//zero", "0", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path_info);
        expect_response(run_with(with(env, "DOCUMENT_ROOT", row.root), {"PATH_INFO=" + row.path_info, "QUERY_STRING=%SB"}),
                        row.body, row.status);
    }
}

// Runs the program as nobody when the tests run as root, so that permissions
// apply; GTEST_SKIP when that is impossible.
class PermissionTest : public page_test {
protected:
    std::string setpriv = "/usr/bin/setpriv";

    run_result run_unprivileged(const std::vector<std::string>& request)
    {
        if (geteuid() != 0) {
            return run_program(program, request);
        }
        // A copy inside the site, which nobody can reach wherever the build
        // lives (a checker such as valgrind must also read the binary).
        const std::string copy = site.base + "/pagestamp";
        if (access(copy.c_str(), X_OK) != 0) {
            std::ifstream in(program, std::ios::binary);
            std::ofstream(copy, std::ios::binary) << in.rdbuf();
            EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
        }
        return run_program(setpriv, request, {"--reuid=65534", "--regid=65534", "--clear-groups", copy});
    }
};

TEST_F(PermissionTest, DeniedDirectoriesButNotUnreadableFiles)
{
    if (geteuid() == 0 && access(setpriv.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "running as root without " << setpriv << " to drop privileges";
    }
    site.add_file("site/open.html", 1, december_25_2003_noon);
    const std::string unreadable = site.add_file("site/unreadable.html", 7, december_25_2003_noon);
    site.add_file("site/no-search/inside.html", 1, december_25_2003_noon);
    site.add_file("site/closed/inside.html", 1, december_25_2003_noon);
    ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
    ASSERT_EQ(chmod((site.root + "/no-search").c_str(), 0644), 0);
    ASSERT_EQ(chmod((site.root + "/closed").c_str(), 0), 0);

    const struct {
        const char* path_info;
        std::string body;
        int status;
    } rows[] = {
        {"//open.html", "1", 0},
        // stat needs no read permission on the file itself.
        {"//unreadable.html", "7", 0},
        {"//no-search/inside.html", cannot_open(site.root + "/no-search/inside.html"), 1},
        {"//closed/inside.html", cannot_open(site.root + "/closed/inside.html"), 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path_info);
        expect_response(run_unprivileged(with(with(env, "PATH_INFO", row.path_info), "QUERY_STRING", "%SB")), row.body,
                        row.status);
    }
    // So that the site can be removed.
    chmod((site.root + "/no-search").c_str(), 0755);
    chmod((site.root + "/closed").c_str(), 0755);
}


// What the program asks of the kernel, from strace: no path a request names is
// ever opened, nothing is opened for writing, and only standard output is
// written. stat is not traced: calling it is the program's job.
class SystemCallTest : public page_test {
protected:
    std::string strace = "/usr/bin/strace";

    std::vector<std::string> trace(std::vector<std::string> request)
    {
        // LeakSanitizer, in the sanitized build, cannot work under ptrace.
        request.emplace_back("ASAN_OPTIONS=detect_leaks=0");
        char pattern[] = "/tmp/pagestamp-strace-XXXXXX";
        close(mkstemp(pattern));
        const run_result result =
            run_program(strace, request,
                        {"-qq", "-s", "4096", "-o", pattern, "-e",
                         "trace=open,openat,creat,truncate,ftruncate,write,writev,pwrite64,pwritev,pwritev2,"
                         "sendfile,unlink,unlinkat,rename,renameat,renameat2,mkdir,mkdirat,link,linkat,"
                         "symlink,symlinkat,chmod,fchmodat,execve",
                         program});
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.signal, 0);
        std::ifstream log(pattern);
        std::vector<std::string> calls;
        for (std::string line; std::getline(log, line);) {
            calls.push_back(line);
        }
        unlink(pattern);
        return calls;
    }
};

TEST_F(SystemCallTest, OpensNothingARequestNamesAndWritesOnlyStandardOutput)
{
    if (std::getenv("PAGESTAMP_TEST_WRAPPER") != nullptr || access(strace.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "needs " << strace << " and no wrapper around the program";
    }
    site.add_user("ann");
    site.add_file("home/ann/www/a.html", 1, april_2_2003_150709);
    ASSERT_EQ(mkfifo((site.root + "/fifo").c_str(), 0644), 0);
    const std::vector<std::vector<std::string>> requests = {
        env,
        with(env, "QUERY_STRING", "%WL+%TZ+%SA+%FN+%DR+%SN"),
        with(env, "PATH_INFO", "/missing.html"),
        with(with(env, "PATH_INFO", "/~ann/a.html"), "QUERY_STRING", "%SB"),
        with(env, "PATH_INFO", "//fifo"),
        with(with(env, "TZ", "Europe/London"), "QUERY_STRING", "%TZ"),
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.back());
        int writes = 0;
        for (const std::string& call : trace(request)) {
            SCOPED_TRACE(call);
            const std::string name = call.substr(0, call.find('('));
            if (name == "execve") {
                continue;
            }
            if (name == "open" || name == "openat") {
                EXPECT_EQ(call.find(site.root), std::string::npos) << "opened something in the site";
                EXPECT_EQ(call.find(site.base + "/home"), std::string::npos) << "opened something in a home";
                for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"}) {
                    EXPECT_EQ(call.find(flag), std::string::npos) << "opened for writing";
                }
            } else if (name == "write" || name == "writev") {
                EXPECT_EQ(call.rfind(name + "(1,", 0), 0U) << "wrote elsewhere than standard output";
                ++writes;
            } else {
                ADD_FAILURE() << "unexpected system call";
            }
        }
        EXPECT_EQ(writes, 1);
    }
}

} // namespace
} // namespace testing_support
