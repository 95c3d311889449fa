#include "fastcgi/stop_policy.hpp"

#include "fastcgi/connection_loop.hpp"

#include <csignal>

namespace pagestamp::fastcgi {

int idle_allowance_ms(run_state state) { return state == run_state::serving ? idle_timeout_ms : stop_idle_ms; }

run_state after_signal(run_state state, int signal)
{
    const bool stop = signal == SIGTERM || signal == SIGHUP;
    if (signal == SIGINT || (stop && state != run_state::serving)) {
        return run_state::ending;
    }
    // SIGUSR1 and SIGUSR2 mean nothing here: taken, so they cannot kill.
    return stop ? run_state::stopping : state;
}

bool under_way(const connection& c) { return c.request_id != 0 || !c.input.empty(); }

bool owes_answer(const connection& c) { return under_way(c) || c.request_ready() || !c.output.empty(); }

bool may_store(const descriptor_store& store, const connection& c, bool peer_done)
{
    return store.valid() && !owes_answer(c) && !peer_done;
}

bool closes_after_answer(run_state state, const descriptor_store& store)
{
    return state != run_state::serving && !store.valid();
}

bool stop_over(run_state state, std::size_t open, long long now_ms, long long stop_at_ms)
{
    return state == run_state::stopping && (open == 0 || now_ms >= stop_at_ms);
}

} // namespace pagestamp::fastcgi
