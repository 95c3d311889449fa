#include "support/responder.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

namespace {

sockaddr_un unix_address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

live_responder::live_responder(const std::string& program, const std::vector<std::string>& env)
{
    char pattern[] = "/tmp/pagestamp-fcgi-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    directory_ = pattern;
    socket_path_ = directory_ + "/socket";
    stderr_path_ = directory_ + "/stderr";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unix_address(socket_path_);
    // A backlog as deep as the kernel allows: a test opens many at once.
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        ADD_FAILURE() << "cannot listen on " << socket_path_;
        close(listener);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, listener, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = {program};
    std::vector<std::string> entries = env;
    std::vector<char*> argv = {words[0].data(), nullptr};
    std::vector<char*> envp;
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        ADD_FAILURE() << "could not start " << program;
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(listener);
}

live_responder::~live_responder()
{
    stop();
    unlink(socket_path_.c_str());
    unlink(stderr_path_.c_str());
    rmdir(directory_.c_str());
}

int live_responder::connect_client() const
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unix_address(socket_path_);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool live_responder::running() const { return pid_ > 0 && kill(pid_, 0) == 0; }

std::string live_responder::take_stderr()
{
    std::ifstream in(stderr_path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const std::string fresh = all.size() > stderr_read_ ? all.substr(stderr_read_) : "";
    stderr_read_ = all.size();
    return fresh;
}

stopped live_responder::stop()
{
    stopped result;
    if (pid_ <= 0) {
        return result;
    }
    const long long start = now_ms();
    kill(pid_, SIGTERM);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && now_ms() - start < 10'000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (done == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    result.took_ms = now_ms() - start;
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    pid_ = -1;
    return result;
}

} // namespace testing_support
