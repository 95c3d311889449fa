#include "stamp/stamp_facts.hpp"

namespace pagestamp {

namespace {

constexpr std::array<std::string_view, 4> am_texts{"am", "AM", "a.m.", "A.M."};
constexpr std::array<std::string_view, 4> pm_texts{"pm", "PM", "p.m.", "P.M."};

} // namespace

number_text year_text_of(const std::tm& time)
{
    return decimal_text(static_cast<std::int64_t>(time.tm_year) + 1900);
}

std::string_view year2_text(const stamp_facts& facts) { return text_from(facts.year_text.view(), 2); }

int hour12_of(int hour)
{
    if (hour == 0) {
        return 12;
    }
    return hour > 12 ? hour - 12 : hour;
}

stamp_facts collect_stamp_facts(const file_status& status, const request_env& env,
                                const doc_location& where)
{
    stamp_facts facts;
    facts.time = status.mtime;
    facts.zone = status.zone;
    facts.year_text = year_text_of(status.mtime);
    facts.size = status.size;
    facts.auto_size = auto_size_text(status.size);
    facts.am_pm = status.mtime.tm_hour > 11 ? pm_texts : am_texts;
    facts.hour12 = hour12_of(status.mtime.tm_hour);
    facts.doc_dir = where.doc_dir;
    facts.doc_file = where.doc_file;
    facts.document_root = env.document_root;
    facts.server_name = env.server_name;
    return facts;
}

} // namespace pagestamp
