#pragma once
// systemd's file descriptor store: a service hands it descriptors while it
// runs, and systemd passes them to the service's next start. A restart that
// stores its kept connections there closes none of them, and closing one is
// what loses includes: a server that reuses connections (mod_proxy_fcgi with
// enablereuse) may be sending a request down it at that moment, and it does
// not try again. Stored, the connection stays open; what the server sends
// meanwhile waits in it for the next responder.

#include <cstddef>
#include <string_view>

namespace pagestamp::fastcgi {

// A datagram socket to systemd's notification socket (NOTIFY_SOCKET: a path,
// or "@" and an abstract name). Invalid when there is none.
struct descriptor_store {
    int socket = -1;
    char address[110] = {}; // a sockaddr_un
    unsigned address_size = 0;

    [[nodiscard]] bool valid() const { return socket >= 0; }
};

descriptor_store open_descriptor_store(std::string_view notify_socket);

// Hands `fd` to the store under the name the next start looks for. False
// when it could not be sent; the caller still owns its copy either way.
bool store_connection(const descriptor_store& store, int fd);

// Tells systemd to close its copies of every stored connection. It keeps a
// stored descriptor, passing it to each later start, until told so or until
// the peer hangs up: a connection the taker closes while systemd still holds
// it stays open for its peer, which waits on it for an answer or an end of
// file that never comes. Sent once the stored connections are taken.
bool forget_stored_connections(const descriptor_store& store);

// The most descriptors a start takes from LISTEN_FDS.
inline constexpr std::size_t most_passed = 4096;

// The connections a previous responder stored, as systemd passes them to this
// one: descriptors from 3 on, LISTEN_FDS of them, for this process
// (LISTEN_PID), named in LISTEN_FDNAMES (the socket unit's own socket is among
// them under its name, and is left alone). Up to `room` descriptors go into
// `into`; returns how many.
std::size_t stored_connections(std::string_view listen_pid, std::string_view listen_fds,
                               std::string_view listen_fdnames, long long process_id, int* into,
                               std::size_t room);

// The other descriptors passed so, under any name but the connections': the
// socket unit's own sockets among them.
std::size_t passed_sockets(std::string_view listen_pid, std::string_view listen_fds,
                           std::string_view listen_fdnames, long long process_id, int* into, std::size_t room);

} // namespace pagestamp::fastcgi
