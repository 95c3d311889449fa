// Which passed descriptors a responder takes as connections: only those
// meant for it, named as a stopping responder stored them; the others are
// where it looks for its listening socket. Taking the socket
// unit's own socket, or a descriptor inherited from a parent, as a connection
// would serve a socket that is not one.

#include "fastcgi/descriptor_store.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace pagestamp::fastcgi {
namespace {

TEST(DescriptorStoreTest, StoredConnectionsAndSocketsAreTheNamedOnesForThisProcess)
{
    const struct {
        const char* what;
        const char* pid;
        const char* fds;
        const char* names;
        std::size_t room;
        std::vector<int> taken;
        std::vector<int> sockets; // the socket unit's own, for the listener
    } rows[] = {
        {"all stored", "42", "2", "connection:connection", 8, {3, 4}, {}},
        {"the socket unit's socket first", "42", "3", "pagestamp.socket:connection:connection", 8, {4, 5}, {3}},
        {"another process's", "41", "2", "connection:connection", 8, {}, {}},
        {"no pid", "", "2", "connection:connection", 8, {}, {}},
        {"no names: nothing known", "42", "2", "", 8, {}, {}},
        {"fewer names than descriptors", "42", "3", "connection", 8, {3}, {}},
        {"more names than descriptors", "42", "1", "connection:connection", 8, {3}, {}},
        {"a name that only begins alike", "42", "2", "connections:connection", 8, {4}, {3}},
        {"an empty name between", "42", "3", "connection::connection", 8, {3, 5}, {4}},
        {"no room for all", "42", "3", "connection:connection:connection", 2, {3, 4}, {}},
        {"a count that is no number", "42", "2x", "connection:connection", 8, {}, {}},
        {"a negative count", "42", "-1", "connection", 8, {}, {}},
        {"sockets among the connections", "42", "4", "connection:web:connection:web6", 8, {3, 5}, {4, 6}},
        {"sockets past the room", "42", "3", "a:b:c", 2, {}, {3, 4}},
        {"a count past any table", "42", "99999999999999999999", "connection", 8, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        int into[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        const std::size_t found = stored_connections(row.pid, row.fds, row.names, 42, into, row.room);
        EXPECT_EQ(std::vector<int>(into, into + found), row.taken);
        const std::size_t sockets = passed_sockets(row.pid, row.fds, row.names, 42, into, row.room);
        EXPECT_EQ(std::vector<int>(into, into + sockets), row.sockets);
    }
}

TEST(DescriptorStoreTest, OnlyASocketPathOrAbstractNameIsAStore)
{
    EXPECT_FALSE(open_descriptor_store("").valid());
    EXPECT_FALSE(open_descriptor_store("relative/notify").valid());
    EXPECT_FALSE(open_descriptor_store(std::string(200, '/')).valid()); // past sun_path
    const descriptor_store store = open_descriptor_store("@pagestamp-test-store");
    EXPECT_TRUE(store.valid());
}

} // namespace
} // namespace pagestamp::fastcgi
