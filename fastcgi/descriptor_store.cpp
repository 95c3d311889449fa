#include "fastcgi/descriptor_store.hpp"

#include "text/fixed_text.hpp"

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace pagestamp::fastcgi {

namespace {

constexpr std::string_view connection_name = "connection";
constexpr std::string_view store_message = "FDSTORE=1\nFDNAME=connection\n";
constexpr std::string_view forget_message = "FDSTOREREMOVE=1\nFDNAME=connection\n";
constexpr int first_passed_fd = 3; // SD_LISTEN_FDS_START

// A decimal number with nothing else around it, or -1.
long long whole_number(std::string_view text)
{
    if (text.empty() || text.size() > 18) {
        return -1;
    }
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

descriptor_store open_descriptor_store(std::string_view notify_socket)
{
    descriptor_store store;
    sockaddr_un address{};
    if (notify_socket.size() < 2 || notify_socket.size() >= sizeof address.sun_path ||
        (notify_socket[0] != '/' && notify_socket[0] != '@')) {
        return store;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, notify_socket.data(), notify_socket.size());
    if (notify_socket[0] == '@') {
        address.sun_path[0] = '\0'; // abstract: the name is the bytes that follow
    }
    static_assert(sizeof address <= sizeof store.address);
    std::memcpy(store.address, &address, sizeof address);
    store.address_size = static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + notify_socket.size());
    store.socket = static_cast<int>(syscall(SYS_socket, AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    // A store that stops taking descriptors must not hold the stop up: past
    // this, the connection is closed as without one.
    const timeval patience{1, 0};
    syscall(SYS_setsockopt, store.socket, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    return store;
}

bool store_connection(const descriptor_store& store, int fd)
{
    if (!store.valid()) {
        return false;
    }
    iovec text{const_cast<char*>(store_message.data()), store_message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
    msghdr message{};
    message.msg_name = const_cast<char*>(store.address);
    message.msg_namelen = store.address_size;
    message.msg_iov = &text;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* const rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof fd);
    std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    const long sent = syscall(SYS_sendmsg, store.socket, &message, MSG_NOSIGNAL);
    return sent == static_cast<long>(store_message.size());
}

bool forget_stored_connections(const descriptor_store& store)
{
    if (!store.valid()) {
        return false;
    }
    iovec text{const_cast<char*>(forget_message.data()), forget_message.size()};
    msghdr message{};
    message.msg_name = const_cast<char*>(store.address);
    message.msg_namelen = store.address_size;
    message.msg_iov = &text;
    message.msg_iovlen = 1;
    return syscall(SYS_sendmsg, store.socket, &message, MSG_NOSIGNAL) == static_cast<long>(forget_message.size());
}

namespace {

// The passed descriptors named `name`, or with `named` false, all the others.
std::size_t passed_descriptors(std::string_view listen_pid, std::string_view listen_fds,
                               std::string_view listen_fdnames, long long process_id, bool named, int* into,
                               std::size_t room)
{
    // Meant for this process, not inherited by way of a parent.
    const long long count = whole_number(listen_fds);
    if (whole_number(listen_pid) != process_id || count <= 0 || count > static_cast<long long>(most_passed)) {
        return 0;
    }
    std::size_t found = 0;
    std::string_view names = listen_fdnames;
    for (long long k = 0; k < count && !names.empty() && found < room; ++k) {
        const std::size_t colon = names.find(':');
        const std::string_view name = text_before(names, colon);
        names = colon == std::string_view::npos ? std::string_view() : text_from(names, colon + 1);
        if (same_text(name, connection_name) == named) {
            into[found++] = first_passed_fd + static_cast<int>(k);
        }
    }
    return found;
}

} // namespace

std::size_t stored_connections(std::string_view listen_pid, std::string_view listen_fds,
                               std::string_view listen_fdnames, long long process_id, int* into,
                               std::size_t room)
{
    return passed_descriptors(listen_pid, listen_fds, listen_fdnames, process_id, true, into, room);
}

std::size_t passed_sockets(std::string_view listen_pid, std::string_view listen_fds,
                           std::string_view listen_fdnames, long long process_id, int* into, std::size_t room)
{
    return passed_descriptors(listen_pid, listen_fds, listen_fdnames, process_id, false, into, room);
}

} // namespace pagestamp::fastcgi
