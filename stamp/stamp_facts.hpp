#pragma once
// Every value a template code can print, gathered once per run before the
// template is read.

#include "request/file_status.hpp"
#include "request/locate_document.hpp"
#include "request/request_env.hpp"
#include "stamp/decimal_text.hpp"
#include "text/fixed_text.hpp"
#include "stamp/size_text.hpp"

#include <array>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace pagestamp {

struct stamp_facts {
    std::tm time{};
    zone_text zone;        // the abbreviation in force at the modification time
    number_text year_text; // every digit of the year, even outside 1000-9999
    std::int32_t size = 0;
    size_text auto_size;
    std::array<std::string_view, 4> am_pm; // "am" "AM" "a.m." "A.M." or the pm forms
    int hour12 = 12;
    std::string_view doc_dir;
    std::string_view doc_file;
    std::string_view document_root;
    std::string_view server_name;
};

// Every digit of the year: years since 1900 plus 1900.
number_text year_text_of(const std::tm& time);

// The year from its third character on: the last two digits of 2003.
std::string_view year2_text(const stamp_facts& facts);

// The hour on the 12-hour clock: midnight is 12 am, noon 12 pm.
int hour12_of(int hour);

stamp_facts collect_stamp_facts(const file_status& status, const request_env& env,
                                const doc_location& where);

} // namespace pagestamp
