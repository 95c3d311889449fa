#include "support/site.hpp"

#include "support/responder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <map>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void make_dirs(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) {
            break;
        }
    }
}

// PAGESTAMP_TEST_FASTCGI names a FastCGI client that takes the environment as
// params (cgi-fcgi -bind -connect). With it, every run of the program becomes
// a request to a responder started from the same binary, and the client's
// exit status is the request's application status.
const char* fastcgi_client() { return std::getenv("PAGESTAMP_TEST_FASTCGI"); }

// A long-lived process under nss_wrapper missed a user that a test added to
// the file after the process's first lookup, so a changed file gets a new
// responder.
// The responder's own log lines, which say why a request got no stamp where
// the CGI says nothing (fastcgi/live_test.cpp checks them), are not the
// errors the tests look for on standard error.
std::string without_log_lines(const std::string& err)
{
    std::string kept;
    for (std::size_t at = 0; at < err.size();) {
        const std::size_t end = std::min(err.find('\n', at), err.size() - 1) + 1;
        if (err.compare(at, 11, "pagestamp: ") != 0) {
            kept += err.substr(at, end - at);
        }
        at = end;
    }
    return kept;
}

std::string file_version(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) != 0 ? "" : " " + std::to_string(info.st_size) + " " +
                                                    std::to_string(info.st_mtim.tv_sec) + "." +
                                                    std::to_string(info.st_mtim.tv_nsec);
}

// One responder for each fake password database a test sets up, started with
// only what the process itself reads (the preload and nss_wrapper's files),
// and stopped once the tests are done: each must end with status 0 and
// nothing on standard error.
class responders : public ::testing::Environment {
public:
    static live_responder& for_request(const std::string& program, const std::vector<std::string>& env)
    {
        std::vector<std::string> own;
        std::string key = program;
        for (const std::string& entry : env) {
            if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("NSS_WRAPPER_", 0) == 0) {
                own.push_back(entry);
                key += "\n" + entry + file_version(entry.substr(entry.find('=') + 1));
            }
        }
        std::unique_ptr<live_responder>& slot = running[key];
        if (!slot) {
            slot = std::make_unique<live_responder>(program, own);
        }
        return *slot;
    }

    void TearDown() override
    {
        for (auto& [key, responder] : running) {
            const std::string err = responder->take_stderr();
            const stopped end = responder->stop();
            EXPECT_EQ(end.exit_status, 0) << key;
            EXPECT_EQ(without_log_lines(err + responder->take_stderr()), "") << key;
        }
        running.clear();
    }

private:
    static inline std::map<std::string, std::unique_ptr<live_responder>> running;
};

[[maybe_unused]] ::testing::Environment* const stop_responders_at_exit =
    ::testing::AddGlobalTestEnvironment(new responders);

} // namespace

temp_site::temp_site()
{
    char pattern[] = "/tmp/pagestamp-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    base = made;
    chmod(base.c_str(), 0755); // an unprivileged test user must get through
    root = base + "/site";
    make_dirs(root);
    passwd = base + "/passwd";
    group = base + "/group";
    std::ofstream(passwd) << "root:x:0:0:root:/root:/bin/sh\n";
    std::ofstream(group) << "root:x:0:\n";
}

temp_site::~temp_site()
{
    if (!base.empty()) {
        nftw(base.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
}

std::string temp_site::add_file(const std::string& relative, long long size, std::time_t modified) const
{
    const std::string path = base + "/" + relative;
    make_dirs(path.substr(0, path.rfind('/')));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << path;
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    EXPECT_EQ(futimens(fd, times), 0) << path;
    close(fd);
    return path;
}

std::string temp_site::add_user(const std::string& name)
{
    const std::string home = base + "/home/" + name;
    make_dirs(home + "/www");
    std::ofstream(passwd, std::ios::app) << name << ":x:1001:1001::" << home << ":/bin/sh\n";
    return home;
}

started_run start_program(const std::string& program, const std::vector<std::string>& env,
                          const std::vector<std::string>& args, const std::string& stdin_path,
                          const std::string& stdout_path)
{
    char out_pattern[] = "/tmp/pagestamp-out-XXXXXX";
    char err_pattern[] = "/tmp/pagestamp-err-XXXXXX";
    const int out_fd = mkstemp(out_pattern);
    const int err_fd = mkstemp(err_pattern);
    close(out_fd);
    close(err_fd);
    started_run run{-1, out_pattern, err_pattern};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
    if (stdout_path == "-") {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        const std::string& out_target = stdout_path.empty() ? run.out_path : stdout_path;
        posix_spawn_file_actions_addopen(&actions, 1, out_target.c_str(), O_WRONLY | O_TRUNC, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, run.err_path.c_str(), O_WRONLY | O_TRUNC, 0);

    // PAGESTAMP_TEST_WRAPPER (words split at spaces, the first an absolute
    // path) runs the program under a checker such as valgrind.
    std::vector<std::string> words;
    std::istringstream wrapper(std::getenv("PAGESTAMP_TEST_WRAPPER") != nullptr ? std::getenv("PAGESTAMP_TEST_WRAPPER")
                                                                                 : "");
    for (std::string word; wrapper >> word;) {
        words.push_back(word);
    }
    if (fastcgi_client() != nullptr) {
        run.responder = &responders::for_request(program, env);
        words.insert(words.end(), {std::string(fastcgi_client()), "-bind", "-connect", run.responder->socket_path()});
    } else {
        words.push_back(program);
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_copy = env;
    // A cross-built responder's preload is not for the native client.
    if (fastcgi_client() != nullptr && std::getenv("PAGESTAMP_TEST_EMULATOR") != nullptr) {
        std::erase_if(env_copy, [](const std::string& entry) { return entry.rfind("LD_PRELOAD=", 0) == 0; });
    }
    std::vector<char*> envp;
    for (std::string& entry : env_copy) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    if (posix_spawn(&run.pid, words.front().c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        run.pid = -1;
        ADD_FAILURE() << "could not start " << program;
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

run_result finish_program(const started_run& run)
{
    run_result result;
    if (run.pid > 0) {
        int status = 0;
        while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) {
            result.exit_status = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
    }
    result.out = read_file(run.out_path);
    result.err = read_file(run.err_path);
    if (run.responder != nullptr) {
        result.err += without_log_lines(run.responder->take_stderr());
    }
    unlink(run.out_path.c_str());
    unlink(run.err_path.c_str());
    return result;
}

run_result run_program(const std::string& program, const std::vector<std::string>& env,
                       const std::vector<std::string>& args, const std::string& stdin_path,
                       const std::string& stdout_path)
{
    return finish_program(start_program(program, env, args, stdin_path, stdout_path));
}

std::vector<std::string> request_environment(const temp_site& site, const std::string& uri)
{
    return {
        "SERVER_NAME=www.example.org",
        "DOCUMENT_ROOT=" + site.root,
        "DOCUMENT_URI=" + uri,
        "DOCUMENT_NAME=" + uri.substr(uri.rfind('/') + 1),
        "TZ=UTC",
        std::string("LD_PRELOAD=") + NSS_WRAPPER_LIBRARY,
        "NSS_WRAPPER_PASSWD=" + site.passwd,
        "NSS_WRAPPER_GROUP=" + site.group,
    };
}

} // namespace testing_support
