// A whole request: an environment decoded from the input, answered by the
// program's own main (compiled here under another name) against a small site
// on disk, with its standard output caught in a pipe.
//
// The site holds what hostile requests aim at: files at and past the 2 GiB
// limit, symbolic link loops, a dangling link, a directory, and, where the
// filesystem allows it, a modification time localtime rejects.

#include "fuzz_text.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int pagestamp_main();

namespace {

using fuzzing::check;

constexpr std::string_view header = "Content-type: text/plain\n\r\n\r";
constexpr std::string_view refusal = "<P>One or more required environment variables was missing.</P>\n";
constexpr std::string_view cannot_open_start = "[Error: Couldn't open file '";
constexpr std::string_view cannot_open_end = "']\n";
constexpr std::size_t body_capacity = 4094;
constexpr std::time_t april_2_2003 = 1049296029;

constexpr std::array<const char*, 6> zones{
    "TZ=UTC", "TZ=Europe/London", "TZ=America/New_York", "TZ=<ABCDEFGHIJKLMNOPQRS>0",
    "TZ=<ABCDEFGHIJKLMNOPQRST>0", "TZ=Asia/Kolkata"};

void add_file(const std::string& path, off_t size, std::time_t modified)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, size) != 0) {
        fuzzing::fail("cannot make the site", path);
    }
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    futimens(fd, times); // a filesystem may refuse a far time; the file still serves
    close(fd);
}

struct site {
    std::string base;
    std::string root;
    std::string far_time; // on tmpfs, which keeps a time localtime cannot convert
    int output = -1;      // the read end of what main writes to standard output
    int full = -1;        // /dev/full, for output that cannot be written

    site()
    {
        char pattern[] = "/tmp/pagestamp-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            fuzzing::fail("mkdtemp");
        }
        base = pattern;
        root = base + "/site";
        mkdir(root.c_str(), 0755);
        mkdir((root + "/docs").c_str(), 0755);
        mkdir((root + "/dir").c_str(), 0755);
        add_file(root + "/docs/index.shtml", 2200, april_2_2003);
        add_file(root + "/index.shtml", 0, 0);
        add_file(root + "/largest.bin", 2147483647, april_2_2003);
        add_file(root + "/huge.bin", 2147483648, april_2_2003);
        add_file(root + "/old.html", 1, -(1LL << 40));
        symlink("loop", (root + "/loop").c_str());
        symlink("nowhere", (root + "/dangling").c_str());
        char shm_pattern[] = "/dev/shm/pagestamp-fuzz-XXXXXX";
        const int fd = mkstemp(shm_pattern);
        if (fd >= 0) {
            close(fd);
            far_time = shm_pattern;
            add_file(far_time, 1, static_cast<std::time_t>(1LL << 62));
            symlink(far_time.c_str(), (root + "/far.html").c_str());
        }

        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0 || fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) {
            fuzzing::fail("pipe");
        }
        output = ends[0];
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
        full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    }

    ~site()
    {
        nftw(base.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
             FTW_DEPTH | FTW_PHYS);
        if (!far_time.empty()) {
            unlink(far_time.c_str());
        }
    }

    site(const site&) = delete;
    site& operator=(const site&) = delete;
};

const site& the_site()
{
    static const site made;
    return made;
}

std::string drain(int fd)
{
    std::string text;
    char chunk[8192];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return text;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

bool is_date(std::string_view body)
{
    int dashes = 0;
    bool digit_before = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c >= '0' && c <= '9') {
            digit_before = true;
        } else if (c == '-' && (i == 0 || digit_before)) {
            dashes += i == 0 ? 0 : 1;
            digit_before = false;
        } else {
            return false;
        }
    }
    return dashes == 2 && digit_before;
}

void check_answer(std::string_view body, int status, bool complete, const std::string& query)
{
    check(body.size() <= body_capacity, "body within 4094", body);
    if (!complete) {
        check(status == 255 && body == refusal, "a missing variable is refused", body);
        return;
    }
    if (status == 1) {
        check(body.size() >= cannot_open_start.size() + cannot_open_end.size() &&
                  body.substr(0, cannot_open_start.size()) == cannot_open_start &&
                  body.substr(body.size() - cannot_open_end.size()) == cannot_open_end,
              "the can't-open message", body);
        check(body.size() - cannot_open_start.size() - cannot_open_end.size() <= 1023,
              "the can't-open path is within 1023", body);
        return;
    }
    check(status == 0, "a stamp or the can't-open message", std::to_string(status));
    if (query.empty()) {
        check(is_date(body), "the default stamp is a date", body);
    } else if (query.find('%') == std::string::npos) {
        check(body == fuzzing::plus_as_space(query).substr(0, body_capacity),
              "a template without % prints itself", body);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const site& where = the_site();
    FuzzedDataProvider data(bytes, size);
    const auto present = data.ConsumeIntegral<std::uint8_t>();
    const bool in_site = data.ConsumeBool();
    const bool output_full = data.ConsumeIntegralInRange<int>(0, 15) == 0;
    const char* zone = zones[data.ConsumeIntegralInRange<std::size_t>(0, zones.size() - 1)];

    const std::array<const char*, 6> names{"SERVER_NAME", "DOCUMENT_ROOT", "DOCUMENT_URI",
                                           "DOCUMENT_NAME", "PATH_INFO", "QUERY_STRING"};
    std::array<std::string, 6> values;
    values[0] = fuzzing::env_value(data, 5000);
    values[1] = (in_site ? where.root : std::string()) + fuzzing::env_value(data, 2000);
    values[2] = fuzzing::env_value(data, 600);
    values[3] = fuzzing::env_value(data, 100);
    values[4] = fuzzing::env_value(data, 600);
    values[5] = fuzzing::env_rest(data);

    // The environment is exactly these entries, and owned here: setenv would
    // keep every value it was ever given.
    std::vector<std::string> entries{zone};
    for (std::size_t i = 0; i < names.size(); ++i) {
        if ((present & (1U << i)) != 0) {
            entries.push_back(std::string(names[i]) + "=" + values[i]);
        }
    }
    std::vector<char*> pointers;
    for (std::string& entry : entries) {
        pointers.push_back(entry.data());
    }
    pointers.push_back(nullptr);
    char** const saved = environ;
    environ = pointers.data();
    tzset();

    const int saved_out = output_full ? dup(STDOUT_FILENO) : -1;
    if (output_full) {
        dup2(where.full, STDOUT_FILENO);
    }
    const int status = pagestamp_main();
    if (output_full) {
        dup2(saved_out, STDOUT_FILENO);
        close(saved_out);
    }
    environ = saved;
    const std::string out = drain(where.output);

    if (output_full) {
        check(status == 2 && out.empty(), "output that cannot be written ends with status 2",
              std::to_string(status));
        return 0;
    }
    check(out.substr(0, header.size()) == header, "the header comes first", out);
    const bool complete = (present & 0xF) == 0xF;
    const std::string query = (present & (1U << 5)) != 0 ? values[5] : std::string();
    check_answer(std::string_view(out).substr(header.size()), status, complete, query);
    return 0;
}
