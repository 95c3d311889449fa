// The date and time codes against the C library's own strftime fields, for
// random times in zones with odd rules (Lord Howe moves by 30 minutes).

#include "stamp/expand_template.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

namespace pagestamp {
namespace {

std::string strftime_text(const char* format, const std::tm& time)
{
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, format, &time);
    return {text, length};
}

std::string two_digits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// What each code must print, from strftime alone (glibc's C locale).
std::string oracle(const std::tm& time)
{
    const int weekday = std::stoi(strftime_text("%w", time)) + 1;
    const int day_of_year = std::stoi(strftime_text("%j", time)) - 1;
    std::string yp = std::to_string(day_of_year);
    yp.insert(0, 3 - yp.size(), '0');
    return strftime_text("%a|%A|", time) + std::to_string(weekday) + "|" + two_digits(weekday) +
           strftime_text("|%b|%B|%-m|%m|%-d|%d|%y|%Y|", time) + std::to_string(day_of_year) + "|" + yp +
           strftime_text("|%-I|%I|%-H|%H|%-M|%M|%-S|%S|%P|%p|%Z", time);
}

constexpr std::string_view all_time_codes =
    "%WS|%WL|%WN|%WP|%MS|%ML|%MN|%MP|%DM|%DP|%Y2|%Y4|%YD|%YP|%H1|%P1|%H2|%P2|%MM|%PM|%SS|%PS|%A1|%A2|%TZ";

TEST(TimeCodes, MatchStrftimeForRandomTimesInSeveralZones)
{
    std::mt19937_64 random(1049296029);
    // 1970 to 2100: four-digit years, and both sides of many rule changes.
    std::uniform_int_distribution<std::time_t> any_time(0, 4102444800);
    for (const char* zone : {"UTC", "America/New_York", "Europe/London", "Australia/Lord_Howe"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (int i = 0; i < 25000; ++i) {
            const std::time_t when = any_time(random);
            file_status status;
            ASSERT_TRUE(local_time_of(when, status.mtime, status.zone, nullptr));
            const stamp_facts facts = collect_stamp_facts(status, request_env{}, doc_location{});
            ASSERT_EQ(expand_template(all_time_codes, facts).view(), oracle(status.mtime))
                << zone << " at " << when;
        }
    }
}

TEST(TimeCodes, ZoneBelongsToTheModificationTimeNotToNow)
{
    setenv("TZ", "Europe/London", 1);
    tzset();
    const std::time_t july_2003 = 1057000000;   // 30 June 2003, summer
    const std::time_t january_2003 = 1042000000; // 8 January 2003, winter
    for (const auto& [when, zone] : {std::pair{july_2003, "BST"}, std::pair{january_2003, "GMT"}}) {
        file_status status;
        ASSERT_TRUE(local_time_of(when, status.mtime, status.zone, nullptr));
        EXPECT_EQ(collect_stamp_facts(status, request_env{}, doc_location{}).zone.view(), zone);
    }
}

TEST(TimeCodes, YearsOutsideFourDigitsShowEveryDigit)
{
    const struct {
        int tm_year;
        const char* y4;
        const char* y2;
    } rows[] = {
        {103, "2003", "03"}, {-1900, "0", ""}, {-1001, "899", "9"}, {8099, "9999", "99"},
        {8100, "10000", "000"}, {-1950, "-50", "0"},
    };
    for (const auto& row : rows) {
        file_status status;
        status.mtime.tm_year = row.tm_year;
        const stamp_facts facts = collect_stamp_facts(status, request_env{}, doc_location{});
        EXPECT_EQ(expand_template("%Y4|%Y2", facts).view(), std::string(row.y4) + "|" + row.y2);
    }
}

} // namespace
} // namespace pagestamp
