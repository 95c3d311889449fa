#include "driver/paced_line.hpp"

namespace pagestamp {

bool line_due(paced_line& line, long long now_s, unsigned long long& held)
{
    long long due = line.next_s.load(std::memory_order_relaxed);
    // Threads may race for the line: one wins it, the rest are counted.
    if (now_s < due || !line.next_s.compare_exchange_strong(due, now_s + line_pace_s, std::memory_order_relaxed)) {
        line.held.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    held = line.held.exchange(0, std::memory_order_relaxed);
    return true;
}

} // namespace pagestamp
