#pragma once
// A throwaway web site on disk, a fake password database for it, and a way to
// run the built program against it with exactly the environment a test gives.

#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

struct temp_site {
    std::string base; // everything lives below here and is removed afterwards
    std::string root; // the document root
    std::string passwd;
    std::string group;

    temp_site();
    ~temp_site();
    temp_site(const temp_site&) = delete;
    temp_site& operator=(const temp_site&) = delete;

    // Creates base/relative with `size` bytes (sparse) and the given mtime.
    std::string add_file(const std::string& relative, long long size, std::time_t modified) const;
    // A user whose home is base/home/<name>; the web directory is home/www.
    std::string add_user(const std::string& name);
};

struct run_result {
    std::string out;
    std::string err;
    int exit_status = -1; // -1 when the process did not exit normally
    int signal = 0;
};

// Runs `program` with exactly `env` ("NAME=value" entries) and the given
// arguments. stdin_path and stdout_path replace /dev/null and a capture file.
run_result run_program(const std::string& program, const std::vector<std::string>& env,
                       const std::vector<std::string>& args = {}, const std::string& stdin_path = "/dev/null",
                       const std::string& stdout_path = "");

class live_responder;

// A run begun by start_program and not yet waited for.
struct started_run {
    pid_t pid = -1;
    std::string out_path; // the capture files
    std::string err_path;
    live_responder* responder = nullptr; // the one a FastCGI run's request went to
};

// run_program in two halves, for a test that acts on the process while it runs.
started_run start_program(const std::string& program, const std::vector<std::string>& env,
                          const std::vector<std::string>& args = {}, const std::string& stdin_path = "/dev/null",
                          const std::string& stdout_path = "");
// Waits for the run to end, collects its output and removes the capture files.
run_result finish_program(const started_run& run);

// The usual four required variables, TZ, and the fake password database.
std::vector<std::string> request_environment(const temp_site& site, const std::string& uri);

} // namespace testing_support
