// Faults outside the request: standard output that takes nothing or only part
// of a write, and modification times at and past what localtime can convert.

#include "binary/response_check.hpp"
#include "support/short_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {
namespace {

class FaultTest : public page_test {};

TEST_F(FaultTest, OutputThatTakesNothingEndsWithStatus2)
{
    std::vector<std::string> cannot = env;
    cannot.emplace_back("PATH_INFO=/missing.html");
    // A stamp, the can't-open message and the refusal.
    const std::vector<std::string> requests[] = {env, cannot, {"SERVER_NAME=x"}};
    for (const char* output : {"-", "/dev/full"}) {
        for (const std::vector<std::string>& request : requests) {
            SCOPED_TRACE(std::string(output) + " after " + std::to_string(request.size()) + " variables");
            const run_result result = run_program(program, request, {}, "/dev/null", output);
            EXPECT_EQ(result.signal, 0);
            EXPECT_EQ(result.exit_status, 2);
            EXPECT_EQ(result.err, "");
        }
    }
}

// Text in which no stretch of a few bytes comes twice, so that bytes sent from
// the wrong place show.
std::string unrepeated_text(std::size_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i) {
        text += std::to_string(i) + ",";
    }
    text.resize(size);
    return text;
}

TEST_F(FaultTest, ResponseResumesAfterAShortWrite)
{
    // A pipe of one page, and a response of 4122 bytes that cannot fit it.
    const std::string fifo = site.base + "/stdout";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    if (fcntl(reader, F_SETPIPE_SZ, 4096) != 4096) {
        close(reader);
        GTEST_SKIP() << "no pipe of exactly 4096 bytes here";
    }
    const std::string body = unrepeated_text(4094);
    std::vector<std::string> request = env;
    request.push_back("QUERY_STRING=" + body);
    const started_run run = start_program(program, request, {}, "/dev/null", fifo);
    EXPECT_TRUE(interrupt_when_full(run.pid, reader, 4096)) << "the program never filled the pipe";
    const std::string out = read_slowly(reader, 100, std::chrono::microseconds(200));
    close(reader);
    run_result result = finish_program(run);
    result.out = out;
    expect_response(result, body, 0);
}

// A file on a filesystem that keeps any 64-bit time (tmpfs does; ext4 clamps
// to 2446), linked into the site.
class far_time_file {
public:
    explicit far_time_file(std::time_t modified)
    {
        for (const char* directory : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(directory) + "/pagestamp-time-XXXXXX";
            const int fd = mkstemp(pattern.data());
            if (fd < 0) {
                continue;
            }
            const timespec times[2] = {{modified, 0}, {modified, 0}};
            struct stat info {};
            const bool kept = futimens(fd, times) == 0 && fstat(fd, &info) == 0 && info.st_mtime == modified;
            close(fd);
            if (kept) {
                path_ = pattern;
                return;
            }
            unlink(pattern.c_str());
        }
    }
    ~far_time_file()
    {
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    far_time_file(const far_time_file&) = delete;
    far_time_file& operator=(const far_time_file&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST_F(FaultTest, TimesLocaltimeCannotConvert)
{
    // localtime's range ends where the year no longer fits an int.
    const struct {
        std::time_t modified;
        const char* body; // nullptr: the can't-open message
    } rows[] = {
        {67768036191676799LL, "2147485547-12-31|47485547|Wednesday"},
        {67768036191676800LL, nullptr},
        {std::time_t{1} << 62, nullptr},
        {-62167219200LL, "0-1-1||Saturday"},
        {-67768040609740800LL, "-2147481748-1-1|147481748|Thursday"},
        {-67768040609740801LL, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.modified);
        const far_time_file file(row.modified);
        if (file.path().empty()) {
            GTEST_SKIP() << "no filesystem here keeps a modification time of " << row.modified;
        }
        const std::string link = site.root + "/far-" + std::to_string(row.modified);
        ASSERT_EQ(symlink(file.path().c_str(), link.c_str()), 0);
        const std::string name = link.substr(link.rfind('/'));
        expect_response(run_with(env, {"PATH_INFO=/" + name, "QUERY_STRING=%Y4-%MN-%DM|%Y2|%WL"}),
                        row.body != nullptr ? row.body : cannot_open(link), row.body != nullptr ? 0 : 1);
    }
}

} // namespace
} // namespace testing_support
