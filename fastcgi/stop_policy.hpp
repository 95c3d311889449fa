#pragma once
// When the responder stops, and what becomes of each connection then: the
// loop (connection_loop) carries these decisions out.

#include "fastcgi/descriptor_store.hpp"
#include "fastcgi/fastcgi_connection.hpp"

#include <cstddef>

namespace pagestamp::fastcgi {

enum class run_state { serving, stopping, ending };

// Stopping, a kept connection is closed once idle this long: one its server
// uses is closed after its next answer, and one it has left cold is
// unlikely to be taken just as it closes.
inline constexpr int stop_idle_ms = 100;

// How long a connection may lie idle from now.
int idle_allowance_ms(run_state state);

// SIGTERM and SIGHUP stop gracefully, a second one or SIGINT at once; the
// others change nothing.
run_state after_signal(run_state state, int signal);

// Some of a request has come, or a record has begun.
bool under_way(const connection& c);

// A request begun, whole and not yet answered, or an answer not yet sent.
bool owes_answer(const connection& c);

// Stopping, a connection with nothing owed on it goes to the store, which
// keeps it open for the next responder: what its server sends meanwhile
// waits in the socket. Anything read and not yet answered stays here, and a
// peer that has shut down has nothing more to send.
bool may_store(const descriptor_store& store, const connection& c, bool peer_done);

// Stopping without a store, a connection is closed after its answer.
bool closes_after_answer(run_state state, const descriptor_store& store);

// Stopping ends once no connection is open, or at the deadline.
bool stop_over(run_state state, std::size_t open, long long now_ms, long long stop_at_ms);

} // namespace pagestamp::fastcgi
