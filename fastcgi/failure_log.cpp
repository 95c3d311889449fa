#include "fastcgi/failure_log.hpp"

#include "fastcgi/system_calls.hpp"
#include "text/fixed_text.hpp"

namespace pagestamp::fastcgi {

namespace {

constexpr int standard_error = 2;

void append_count(fixed_text<32>& text, unsigned long long count)
{
    char digits[20];
    std::size_t used = 0;
    do {
        digits[sizeof digits - ++used] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count != 0);
    text.append(std::string_view(digits + sizeof digits - used, used));
}

// "pagestamp: WHY", and how many like it were held back, if any.
void write_line(std::string_view why, unsigned long long more)
{
    fixed_text<512> line;
    line.append("pagestamp: ");
    line.append(why);
    if (more != 0) {
        fixed_text<32> count;
        count.append(" (and ");
        append_count(count, more);
        line.append(count.view());
        line.append(" more since the last line like this)");
    }
    line.append('\n');
    // One write, so that lines from a burst never interleave; a log that
    // takes nothing loses the line, never the answer.
    [[maybe_unused]] const auto written = sys::write_some(standard_error, line.c_str(), line.size());
}

} // namespace

void log_line(std::string_view why) { write_line(why, 0); }

void log_failure(failure_log& log, failure which, std::string_view why, long long now_ms)
{
    unsigned long long more = 0;
    if (line_due(log.lines[static_cast<std::size_t>(which)], now_ms / 1000, more)) {
        write_line(why, more);
    }
}

} // namespace pagestamp::fastcgi
