// The template scan: codes, escapes, their order, and the body's limit, on one
// file of 2200 bytes modified on Wednesday 2 April 2003 at 15:07:09 UTC.

#include "stamp/expand_template.hpp"

#include "stamp/hex2char.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace pagestamp {
namespace {

constexpr std::time_t april_2_2003_150709_utc = 1049296029;

stamp_facts facts_at(std::time_t when, std::int32_t size = 2200)
{
    setenv("TZ", "UTC", 1);
    tzset();
    file_status status;
    status.size = size;
    local_time_of(when, status.mtime, status.zone, nullptr);
    request_env env;
    env.server_name = "www.example.org";
    env.document_root = "/srv/site";
    doc_location where;
    where.doc_dir = "/docs";
    where.doc_file = "index.shtml";
    return collect_stamp_facts(status, env, where);
}

std::string expand(std::string_view query, const stamp_facts& facts = facts_at(april_2_2003_150709_utc))
{
    return std::string(expand_template(query, facts).view());
}

struct expansion {
    const char* query;
    std::string body;
};

void expect_expansions(const stamp_facts& facts, std::initializer_list<expansion> rows)
{
    for (const expansion& row : rows) {
        EXPECT_EQ(expand(row.query, facts), row.body) << "template " << row.query;
    }
}

struct code_value_row {
    const char* code;
    const char* value;
};

// What each of the 36 codes prints on the reference file.
constexpr code_value_row reference_values[] = {
    {"WS", "Wed"}, {"WL", "Wednesday"}, {"WN", "4"}, {"WP", "04"},
    {"MS", "Apr"}, {"ML", "April"}, {"MN", "4"}, {"MP", "04"},
    {"DM", "2"}, {"DP", "02"}, {"Y2", "03"}, {"Y4", "2003"},
    {"YD", "91"}, {"YP", "091"}, {"H1", "3"}, {"P1", "03"},
    {"H2", "15"}, {"P2", "15"}, {"MM", "7"}, {"PM", "07"},
    {"SS", "9"}, {"PS", "09"}, {"A1", "pm"}, {"A2", "PM"},
    {"A3", "p.m."}, {"A4", "P.M."}, {"TZ", "UTC"}, {"SA", "2.1k"},
    {"SB", "2200"}, {"SK", "2.1"}, {"SM", "0.0"}, {"SG", "0.0"},
    {"FN", "index.shtml"}, {"FP", "/docs"}, {"DR", "/srv/site"}, {"SN", "www.example.org"},
};

TEST(ExpandTemplate, EveryCodeOnTheReferenceFile)
{
    for (const code_value_row& row : reference_values) {
        EXPECT_EQ(expand(std::string("%") + row.code), row.value) << "code " << row.code;
    }
}

// What "%" and two bytes print, from the code list and the escape rule alone:
// a code's value, else the byte two upper-case hex digits stand for, else the
// three bytes as they stand.
std::string expected_sequence(const std::string& sequence)
{
    for (const code_value_row& row : reference_values) {
        if (sequence.compare(1, 2, row.code) == 0) {
            return row.value;
        }
    }
    const auto hex_digit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    if (hex_digit(sequence[1]) && hex_digit(sequence[2])) {
        const auto byte = static_cast<char>(std::stoi(sequence.substr(1), nullptr, 16));
        return byte == '\0' ? "" : std::string(1, byte);
    }
    return sequence;
}

// Every byte value, 0x80 and up included, beside each letter of each code: a
// byte that only differs from a code letter in bits the lookup drops must not
// print that code.
TEST(ExpandTemplate, EveryByteInEitherPositionOfEachCode)
{
    const stamp_facts facts = facts_at(april_2_2003_150709_utc);
    for (int value = 0; value <= 255; ++value) {
        const auto byte = static_cast<char>(value);
        for (const code_value_row& row : reference_values) {
            const std::string sequences[] = {{'%', byte, row.code[1]}, {'%', row.code[0], byte}};
            for (const std::string& sequence : sequences) {
                EXPECT_EQ(expand(sequence, facts), expected_sequence(sequence))
                    << "code " << row.code << " with byte " << value;
            }
        }
    }
}

TEST(ExpandTemplate, WorkedExamples)
{
    expect_expansions(facts_at(april_2_2003_150709_utc), {
        {"%WL,+%ML+%DM,+%Y4+%H1:%PM+%A3+(%SA)", "Wednesday, April 2, 2003 3:07 p.m. (2.1k)"},
        {"%Y2%MP%DP-%P2%PM%PS", "030402-150709"},
        {"Last+changed:+%WS+%DM+%MS", "Last changed: Wed 2 Apr"},
    });
}

TEST(ExpandTemplate, HalfDayAndHourAroundMiddayAndMidnight)
{
    const struct {
        std::time_t when;
        const char* body;
    } rows[] = {
        {1049243400, "12 am AM a.m. A.M. 0 00 12"}, // 00:30
        {1049285100, "12 pm PM p.m. P.M. 12 12 12"}, // 12:05
        {1049288400, "1 pm PM p.m. P.M. 13 13 01"},  // 13:00
    };
    for (const auto& row : rows) {
        EXPECT_EQ(expand("%H1+%A1+%A2+%A3+%A4+%H2+%P2+%P1", facts_at(row.when)), row.body);
    }
}

TEST(ExpandTemplate, EscapesAndTheirOrder)
{
    expect_expansions(facts_at(april_2_2003_150709_utc), {
        {"a+b++c", "a b  c"},
        {"plain text, nothing else", "plain text, nothing else"},
        {"%41", "A"}, {"%00", ""}, {"x%00y", "xy"}, {"%4G", "%4G"},
        {"%2f", "%2f"}, {"%2F", "/"}, {"%2B", "+"}, {"%25", "%"}, {"%25WS", "%WS"},
        {"%%WS", "%%WS"}, {"%ws%Ws%wS", "%ws%Ws%wS"}, {"%+A", "%+A"}, {"%FF", "\xff"},
        // A1-A4 are hex pairs too, but codes come first.
        {"%A1%A2%A3%A4%A5", "pmPMp.m.P.M.\xa5"},
        // A "%" too near the end to have a code stays as it stands.
        {"%", "%"}, {"x%", "x%"}, {"%A", "%A"}, {"%+", "%+"}, {"%W%", "%W%"},
    });
}

TEST(ExpandTemplate, Hex2charFollowsItsArithmetic)
{
    EXPECT_EQ(hex2char('4', '1'), 'A');
    EXPECT_EQ(hex2char('2', 'F'), '/');
    EXPECT_EQ(hex2char('2', 'f'), '/');
    EXPECT_EQ(hex2char('F', 'F'), '\xff');
    EXPECT_EQ(hex2char('0', '0'), '\0');
}

TEST(ExpandTemplate, BodyStopsAt4094AndDropsPiecesWhole)
{
    std::string query;
    for (int i = 0; i < 1500; ++i) {
        query += "%WL";
    }
    const std::string body = expand(query);
    EXPECT_EQ(body.size(), 454U * 9U);
    EXPECT_EQ(body.substr(0, 18), "WednesdayWednesday");

    // The piece that would cross the limit is dropped; a shorter one still fits.
    std::string filler(4090, 'x');
    EXPECT_EQ(expand(filler + "%WL!"), filler + "!");
    EXPECT_EQ(expand(filler + "%WL%WS%Y4"), filler + "Wed");
    EXPECT_EQ(expand(filler + "abcdefgh"), filler + "abcd");
    EXPECT_EQ(expand(filler + "++++++"), filler + "    ");
}

TEST(ExpandTemplate, LongValuesAppendWholeWithinTheLimit)
{
    stamp_facts facts = facts_at(april_2_2003_150709_utc);
    const std::string root(4000, 'r');
    facts.document_root = root;
    EXPECT_EQ(expand("[%DR]", facts), "[" + root + "]");
    const std::string huge(5000, 's');
    facts.server_name = huge;
    EXPECT_EQ(expand("[%SN]", facts), "[]");
    EXPECT_EQ(expand("%DR%DR", facts), root);
}

TEST(ExpandTemplate, LargestTemplateFillsTheBodyExactly)
{
    // 128 KiB, the most one environment string holds. Single-character pieces
    // keep fitting after the longer ones stop, so the body ends full.
    std::string query;
    while (query.size() < 128 * 1024) {
        query += "%WL+%41%zz%2f++abc";
    }
    const body_text body = expand_template(query, facts_at(april_2_2003_150709_utc));
    EXPECT_EQ(body.size(), body_text::capacity);
    EXPECT_EQ(body.view().substr(0, 22), "Wednesday A%zz%2f  abc");
}

} // namespace
} // namespace pagestamp
