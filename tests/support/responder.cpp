#include "support/responder.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <netinet/in.h>
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

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// A listening socket, -1 on failure; `port` tells where a TCP one listens.
int listen_socket(const std::string& path, const listening& how, int& port)
{
    const int fd = socket(how.loopback_tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (how.send_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &how.send_buffer, sizeof how.send_buffer);
    }
    const sockaddr_un unix_at = unix_address(path);
    sockaddr_in tcp_at = loopback(0);
    socklen_t size = sizeof tcp_at;
    const bool bound = how.loopback_tcp
                           ? bind(fd, reinterpret_cast<const sockaddr*>(&tcp_at), sizeof tcp_at) == 0 &&
                                 getsockname(fd, reinterpret_cast<sockaddr*>(&tcp_at), &size) == 0
                           : bind(fd, reinterpret_cast<const sockaddr*>(&unix_at), sizeof unix_at) == 0;
    // A backlog as deep as the kernel allows: a test opens many at once.
    if (!bound || listen(fd, SOMAXCONN) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(tcp_at.sin_port);
    return fd;
}

live_responder::live_responder(const std::string& program, const std::vector<std::string>& env, listening how)
{
    char pattern[] = "/tmp/pagestamp-fcgi-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    directory_ = pattern;
    socket_path_ = directory_ + "/socket";
    stderr_path_ = directory_ + "/stderr";
    const int listener = listen_socket(socket_path_, how, port_);
    if (listener < 0) {
        ADD_FAILURE() << "cannot listen";
        return;
    }
    if (how.loopback_tcp) {
        socket_path_.clear();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, listener, 0);
    // Nothing of the test's own: a limit on descriptors then counts from 3.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // prlimit sets the limits on itself and then becomes the program.
    // PAGESTAMP_TEST_EMULATOR (words split at spaces) runs a cross-built one.
    std::vector<std::string> words;
    if (!how.limits.empty()) {
        words = {"/usr/bin/prlimit"};
        words.insert(words.end(), how.limits.begin(), how.limits.end());
        words.push_back("--");
    }
    std::istringstream emulator(std::getenv("PAGESTAMP_TEST_EMULATOR") != nullptr ? std::getenv("PAGESTAMP_TEST_EMULATOR")
                                                                                   : "");
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
    words.push_back(program);
    std::vector<std::string> entries = env;
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, words[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
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

int live_responder::connect_client(int receive_buffer) const
{
    const bool tcp = socket_path_.empty();
    const int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Before connect, so that TCP offers the small window from the start.
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    const sockaddr_un unix_at = unix_address(socket_path_);
    const sockaddr_in tcp_at = loopback(port_);
    const int connected = tcp ? connect(fd, reinterpret_cast<const sockaddr*>(&tcp_at), sizeof tcp_at)
                              : connect(fd, reinterpret_cast<const sockaddr*>(&unix_at), sizeof unix_at);
    if (connected != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool live_responder::running()
{
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        ended_ = true;
    }
    return pid_ > 0;
}

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
    send_signal(SIGTERM);
    return wait_end(10'000);
}

void live_responder::send_signal(int signal) const
{
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

stopped live_responder::wait_end(int limit_ms)
{
    stopped result;
    const long long start = now_ms();
    if (pid_ > 0) {
        pid_t done = 0;
        while ((done = waitpid(pid_, &status_, WNOHANG)) == 0 && now_ms() - start < limit_ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        pid_ = -1;
        ended_ = true;
    }
    if (ended_) {
        result.took_ms = now_ms() - start;
        result.exit_status = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
        result.signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
    }
    return result;
}

namespace {

// /proc/PID/stat after the parenthesised name, which may hold spaces.
std::string stat_fields(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t name_end = text.rfind(')');
    return name_end == std::string::npos ? "" : text.substr(name_end + 2);
}

} // namespace

char live_responder::state() const
{
    const std::string fields = stat_fields(pid_);
    return fields.empty() ? '\0' : fields[0];
}

long long live_responder::cpu_ms() const
{
    // utime and stime are the 12th and 13th fields after the name.
    std::istringstream fields(stat_fields(pid_));
    std::string field;
    long long ticks = 0;
    for (int k = 1; k <= 13 && fields >> field; ++k) {
        ticks += k >= 12 ? std::stoll(field) : 0;
    }
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

bool send_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

received receive(int fd, std::size_t want, int timeout_ms, std::size_t chunk)
{
    received got;
    const long long deadline = now_ms() + timeout_ms;
    std::string buffer(chunk, '\0');
    while (want == 0 || got.bytes.size() < want) {
        const long long left = deadline - now_ms();
        pollfd waiting{fd, POLLIN, 0};
        if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const std::size_t room = want == 0 ? chunk : std::min(chunk, want - got.bytes.size());
        const ssize_t n = read(fd, buffer.data(), room);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            got.closed = true; // end of stream, or reset by a peer that left unread bytes
            break;
        }
        got.bytes.append(buffer, 0, static_cast<std::size_t>(n));
    }
    return got;
}

} // namespace testing_support
