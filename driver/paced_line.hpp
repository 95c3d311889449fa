#pragma once
// A condition that lasts (a crawler asking for the program directly, a
// password entry past what a lookup takes) must not cost the log a line per
// request: each is told at most once a minute in a process, the line
// counting those it stands for. Every server's way in paces its lines so.

#include <atomic>

namespace pagestamp {

inline constexpr long long line_pace_s = 60;

// One condition's pace; safe from any number of threads at once.
struct paced_line {
    std::atomic<long long> next_s{0};
    std::atomic<unsigned long long> held{0};
};

// Whether a line is due at `now_s` (seconds on any steady clock); if so,
// `held` is how many were held back since the last, else it counts this one.
bool line_due(paced_line& line, long long now_s, unsigned long long& held);

} // namespace pagestamp
