// The zone reader against glibc itself: for every zone file and a table of
// TZ strings, localtime_r in a child process with TZ set is the oracle, at
// each transition and each change of rule ±1 s, daily across chosen years,
// and at the ends of time.

#include "zone/zone_info.hpp"
#include "zone/zone_local_time.hpp"
#include "zone/zone_source.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>
#include <memory>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pagestamp {
namespace {

struct broken_down {
    bool ok;
    int fields[9];
    long offset;
    char name[64]; // tm_zone
    char shown[24]; // what strftime's %Z makes of it
};

bool operator==(const broken_down& a, const broken_down& b)
{
    return a.ok == b.ok && (!a.ok || (std::equal(a.fields, a.fields + 9, b.fields) && a.offset == b.offset &&
                                      std::strcmp(a.name, b.name) == 0 && std::strcmp(a.shown, b.shown) == 0));
}

std::string describe(const broken_down& t)
{
    if (!t.ok) {
        return "(fails)";
    }
    char text[200];
    std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d wday %d yday %d dst %d offset %ld zone [%s] %%Z [%s]",
                  t.fields[5] + 1900, t.fields[4] + 1, t.fields[3], t.fields[2], t.fields[1], t.fields[0],
                  t.fields[6], t.fields[7], t.fields[8], t.offset, t.name, t.shown);
    return text;
}

broken_down record(bool ok, const std::tm& time, std::string_view shown)
{
    broken_down out{};
    out.ok = ok;
    if (!ok) {
        return out;
    }
    const int fields[9] = {time.tm_sec,  time.tm_min,  time.tm_hour, time.tm_mday, time.tm_mon,
                           time.tm_year, time.tm_wday, time.tm_yday, time.tm_isdst};
    std::copy(fields, fields + 9, out.fields);
    out.offset = time.tm_gmtoff;
    std::snprintf(out.name, sizeof out.name, "%s", time.tm_zone != nullptr ? time.tm_zone : "(null)");
    std::snprintf(out.shown, sizeof out.shown, "%.*s", static_cast<int>(shown.size()), shown.data());
    return out;
}

// glibc's answers, from a child that sets TZ before its first conversion.
// Where the answers are read to: kept out of each child, so that the parent's
// writes do not copy pages the child shares (they cost more than the
// conversions), and reused from zone to zone.
struct answer_buffer {
    static constexpr std::size_t capacity = 1 << 20;
    broken_down* answers;
    answer_buffer()
    {
        void* memory = mmap(nullptr, capacity * sizeof(broken_down), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        answers = static_cast<broken_down*>(memory);
        madvise(memory, capacity * sizeof(broken_down), MADV_DONTFORK);
    }
};

const broken_down* glibc_answers(const std::optional<std::string>& tz, const std::vector<std::int64_t>& when)
{
    static const answer_buffer buffer;
    if (when.size() > answer_buffer::capacity) {
        ADD_FAILURE() << "too many instants";
        return nullptr;
    }
    int channel[2];
    if (pipe(channel) != 0) {
        ADD_FAILURE() << "pipe";
        return nullptr;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (tz) {
            setenv("TZ", tz->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
        std::FILE* out = fdopen(channel[1], "w");
        static char buffer[1 << 16];
        setvbuf(out, buffer, _IOFBF, sizeof buffer);
        for (const std::int64_t moment : when) {
            const std::time_t t = moment;
            std::tm time{};
            const bool ok = localtime_r(&t, &time) != nullptr;
            char shown[20];
            const std::size_t length = ok ? std::strftime(shown, sizeof shown, "%Z", &time) : 0;
            const broken_down answer = record(ok, time, std::string_view(shown, length));
            std::fwrite(&answer, sizeof answer, 1, out);
        }
        std::fclose(out);
        _exit(0);
    }
    close(channel[1]);
    fcntl(channel[0], F_SETPIPE_SZ, 1 << 20);
    auto* into = reinterpret_cast<char*>(buffer.answers);
    const std::size_t wanted = when.size() * sizeof(broken_down);
    std::size_t got = 0;
    for (ssize_t n = 1; got < wanted && n > 0; got += static_cast<std::size_t>(n > 0 ? n : 0)) {
        n = read(channel[0], into + got, wanted - got);
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(got, wanted) << "the oracle child for " << tz.value_or("(unset)") << " stopped early";
    return got == wanted ? buffer.answers : nullptr;
}

broken_down ours(const zone_info& zone, std::int64_t when)
{
    std::tm time{};
    zone_text shown;
    const bool ok = zone_local_time(zone, when, time, shown);
    return record(ok, time, shown.view());
}

std::int64_t utc_seconds(int year, int month, int day)
{
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    return timegm(&time);
}

// Moments the zone's rule changes within [from, to), found by bisection
// where our offset or name differs from one day to the next. A change we
// place wrongly shows at its ±1 s; one we miss, in the daily samples.
bool same_state(const broken_down& a, const broken_down& b)
{
    return a.ok == b.ok && a.offset == b.offset && a.fields[8] == b.fields[8] && std::strcmp(a.name, b.name) == 0;
}

void add_changes(const zone_info& zone, std::int64_t from, std::int64_t to, std::vector<std::int64_t>& when)
{
    constexpr std::int64_t day = 86400;
    for (std::int64_t start = from; start < to; start += day) {
        when.push_back(start);
        std::int64_t low = start;
        std::int64_t high = start + day;
        const broken_down before = ours(zone, low);
        if (same_state(before, ours(zone, high))) {
            continue;
        }
        while (high - low > 1) {
            const std::int64_t middle = low + (high - low) / 2;
            (same_state(ours(zone, middle), before) ? low : high) = middle;
        }
        when.insert(when.end(), {high - 1, high, high + 1});
    }
}

void instants_for(const zone_info& zone, std::vector<std::int64_t>& when)
{
    when.clear();
    for (std::size_t i = 0; i < zone.transition_count; ++i) {
        for (const std::int64_t step : {-1, 0, 1}) {
            if ((step < 0 && zone.transitions[i] == INT64_MIN) || (step > 0 && zone.transitions[i] == INT64_MAX)) {
                continue;
            }
            when.push_back(zone.transitions[i] + step);
        }
    }
    for (std::size_t i = 0; i < zone.leap_count; ++i) {
        when.insert(when.end(), {zone.leaps[i].when - 1, zone.leaps[i].when, zone.leaps[i].when + 1});
    }
    // Before 1970, the year 2038 and after, a leap century, the last year of
    // four digits: daily, and each change of the footer's rule.
    for (const int year : {1900, 1969, 2037, 2038, 2100, 2400, 9999}) {
        add_changes(zone, utc_seconds(year, 1, 1) - 86400, utc_seconds(year + 1, 1, 1) + 86400, when);
    }
    // The ends of time: before any transition of the big bang's era, and
    // where tm_year overflows, where glibc fails.
    const std::int64_t ends[] = {INT64_MIN, INT64_MIN + 1, -(std::int64_t{1} << 59), -67768040609740800,
                                 -67768040609740801, -1'000'000'000'000, -(std::int64_t{1} << 31) - 1, -1, 0,
                                 (std::int64_t{1} << 31) - 1, std::int64_t{1} << 31, std::int64_t{1} << 32,
                                 1'000'000'000'000, 67767976233532799, 67767976233532800, 67768036191676799,
                                 67768036191676800, std::int64_t{1} << 59, INT64_MAX - 1, INT64_MAX};
    when.insert(when.end(), std::begin(ends), std::end(ends));
}

struct tally {
    std::size_t zones = 0;
    std::size_t instants = 0;
    std::size_t mismatches = 0;
};

void compare(const std::optional<std::string>& tz, tally& total)
{
    // Loaded as the cache loads its entries; the cache keeps only 64.
    static std::vector<char> buffer(64 * 1024);
    const auto zone = std::make_unique<zone_info>();
    ASSERT_EQ(load_zone(tz ? std::string_view(*tz) : std::string_view(), *zone, buffer.data(), buffer.size()),
              zone_load::loaded)
        << tz.value_or("(unset)");
    static std::vector<std::int64_t> when;
    instants_for(*zone, when);
    const broken_down* const expected = glibc_answers(tz, when);
    ASSERT_NE(expected, nullptr);
    ++total.zones;
    total.instants += when.size();
    for (std::size_t i = 0; i < when.size(); ++i) {
        const broken_down got = ours(*zone, when[i]);
        if (!(got == expected[i]) && ++total.mismatches <= 20) {
            ADD_FAILURE() << "TZ=" << tz.value_or("(unset)") << " at " << when[i] << "\n glibc: "
                          << describe(expected[i]) << "\n   ours: " << describe(got);
        }
    }
}

bool is_zone_file(const std::filesystem::directory_entry& entry)
{
    std::ifstream file(entry.path(), std::ios::binary);
    char magic[4] = {};
    return entry.is_regular_file() && file.read(magic, 4) && std::memcmp(magic, "TZif", 4) == 0;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t zone_sample_step = 10; // every tenth zone: the sanitizers are slow
#else
constexpr std::size_t zone_sample_step = 1;
#endif

TEST(ZoneDifferential, EveryZoneFileMatchesGlibc)
{
    const std::filesystem::path root = "/usr/share/zoneinfo";
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (is_zone_file(entry)) {
            names.push_back(entry.path().lexically_relative(root).string());
        }
    }
    std::sort(names.begin(), names.end());
    ASSERT_GT(names.size(), 500U);
    tally total;
    for (std::size_t i = 0; i < names.size(); i += zone_sample_step) {
        compare(names[i], total);
    }
    std::printf("zone files: %zu zones, %zu instants compared, %zu mismatches\n", total.zones, total.instants,
                total.mismatches);
    EXPECT_EQ(total.mismatches, 0U);
}

// Each kind of value glibc reads differently, malformed ones included.
const char* const tz_strings[] = {
    // empty, unknown, the system's zone, files by other names
    "", ":", "::", "Xy", "Foo/Bar", "America", "posixrules", "Nowhere/Zone", ":Europe/London", "/etc/localtime",
    ":/etc/localtime", "/usr/share/zoneinfo/Asia/Kolkata", ":/usr/share/zoneinfo/Europe/Berlin", "/nonexistent",
    "../zoneinfo/Europe/Paris", "right/Europe/Paris", "posix/Asia/Tokyo", "Universal", "Europe/London ",
    // POSIX rules: M, J and n forms, and the default rule
    "EST5EDT,M3.2.0,M11.1.0", "EST5EDT", "CET-1CEST", "EST5EDT4", "EST5EDT,", "EST5EDT,,", "UTC0", "GMT+0",
    "XXX3YYY,J60,J300", "XXX3YYY,59,300", "XXX3YYY,0/0,365/25", "WART4WARST,J1/0,J365/25",
    "EST5EDT4,M4.1.0,M10.5.0", "EST5EDT,M3.5.6,M10.5.6",
    // angle brackets, minutes and seconds, signs
    "<+0330>-3:30", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", "<+0545>-5:45", "<A+B-C>-1:2:3", "<AB>5", "<ABC",
    "<ABC>", "<ABCDEFGHIJKLMNOPQRSTUVWXYZ>3", "EST5:30:15", "EST-5:61:99", "EST-25", "EST+24:59:59",
    // times of change: /2, negative, past a day, with minutes
    "IST-2IDT,M3.4.4/26,M10.5.0", "EST5EDT,M3.2.0/2:30:15,M11.1.0/-1:30", "EST5EDT,M3.5.6/167,M11.5.6/-167",
    "EST5EDT,M3.2.0/-1,M11.1.0/30",
    // southern hemisphere
    "AEST-10AEDT,M10.1.0,M4.1.0/3", "NZST-12NZDT,M9.5.0,M4.1.0/3", "<-04>4<-03>,M9.1.6/24,M4.1.6/24",
    "XXX-13YYY,M12.5.0/3,M1.2.0",
    // malformed: what glibc keeps of them
    "EST", "EST+-5", "EST 5", " EST5", "EST5EDT+ 4", "EST65536", "EST-65535", "EST99999999999999999999999",
    "EST5EDT,J0", "EST5EDT,J366", "EST5EDT,M3.0.0,M11.1.0", "EST5EDT,M3.6.0", "EST5EDT,M3.2.7", "EST5EDT,M3.2.0x",
    "EST5EDT,M3.2.0/", "EST5EDT,M3.2.0/-", "EST5EDT,M3.2.0/+3", "EST5EDT,M 3.2.0,M11.1.0", "EST5EDT,M3.-2.0",
    "EST5EDT,M3.2,M11.1.0", "EST5EDT,x", "EST5EDT,M3.2.0,J0", "EST5EDT,M3.2.0,366", "5EST", "EST5EDT,J60,M11",
    // junk or a bare comma after the standard time, and months glibc reads
    // past the ends of its table for
    "EST5 EDT", "ABC5x", "ABC5,", "ABC5,M3.2.0,M11.1.0", "EST5EDT,M13.1.0,M11.1.0", "EST5EDT,M0.1.0,M11.1.0",
    "EST5EDT,M3.2.0,M13.5.6", "EST5EDT,M3.2.0,M0.5.6", "AAA0BBB0,M14.5.0", "AAA-5BBB,M26.3.2", "AAA0BBB0,M40.1.0",
    "EST5EDT,M65535.1.0",
    // a file that is no zone file, and larger than a zone file may be
    "tzdata.zi", "/usr/share/zoneinfo/tzdata.zi",
};

TEST(ZoneDifferential, TzStringsMatchGlibc)
{
    tally total;
    compare(std::nullopt, total);
    for (const char* tz : tz_strings) {
        compare(std::string(tz), total);
    }
    // The longest value a request may name.
    compare("<" + std::string(251, 'A') + ">-1", total);
    std::printf("TZ strings: %zu values, %zu instants compared, %zu mismatches\n", total.zones, total.instants,
                total.mismatches);
    EXPECT_EQ(total.mismatches, 0U);
}

// Where a TZif file's 64-bit data begins and ends, from its two headers.
struct tzif_layout {
    std::size_t data_start;
    std::size_t data_end;
};

std::uint32_t count_at(const std::string& bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at]) << 24 |
                                      static_cast<unsigned char>(bytes[at + 1]) << 16 |
                                      static_cast<unsigned char>(bytes[at + 2]) << 8 |
                                      static_cast<unsigned char>(bytes[at + 3]));
}

std::size_t block_size(const std::string& bytes, std::size_t header, std::size_t width)
{
    const std::size_t ut = count_at(bytes, header + 20), standard = count_at(bytes, header + 24),
                      leaps = count_at(bytes, header + 28), times = count_at(bytes, header + 32),
                      types = count_at(bytes, header + 36), chars = count_at(bytes, header + 40);
    return times * (width + 1) + types * 6 + chars + leaps * (width + 4) + standard + ut;
}

tzif_layout layout_of(const std::string& bytes)
{
    const std::size_t second_header = 44 + block_size(bytes, 0, 4);
    return {second_header + 44, second_header + 44 + block_size(bytes, second_header, 8)};
}

std::string file_bytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Zone files no tzdata ships, each a way glibc reads a file differently:
// version 1 (the 32-bit data, no footer), later versions, footers that are
// cut, missing or odd, truncations at every part, and values it rejects.
std::vector<std::pair<std::string, std::string>> crafted_files()
{
    const std::string real = file_bytes("/usr/share/zoneinfo/America/New_York");
    const tzif_layout at = layout_of(real);
    std::vector<std::pair<std::string, std::string>> files;
    const auto with = [&](std::string name, const std::function<void(std::string&)>& change) {
        std::string bytes = real;
        change(bytes);
        files.emplace_back(std::move(name), std::move(bytes));
    };
    with("version-1", [](std::string& b) { b[4] = '\0'; });
    with("version-4", [](std::string& b) { b[4] = '4'; });
    with("bad-magic", [](std::string& b) { b[0] = 'X'; });
    with("footer-without-newline", [&](std::string& b) { b[at.data_end] = 'x'; });
    with("footer-last-byte-cut", [](std::string& b) { b.pop_back(); });
    with("footer-empty", [&](std::string& b) { b.resize(at.data_end); b += "\n\n"; });
    with("footer-southern", [&](std::string& b) {
        b.resize(at.data_end);
        b += "\n<-03>3<-02>,M3.5.0/-2,M10.5.0/-1\n";
    });
    with("footer-with-nul", [&](std::string& b) { b[at.data_end + 4] = '\0'; });
    const std::size_t times = count_at(real, at.data_start - 44 + 32);
    with("type-index-out-of-range", [&](std::string& b) { b[at.data_start + 8 * times + 10] = '\x7f'; });
    const std::size_t types = at.data_start + 9 * times;
    with("dst-flag-2", [&](std::string& b) { b[types + 4] = 2; });
    with("first-type-daylight", [&](std::string& b) { b[types + 4] = 1; });
    with("abbreviation-past-the-end", [&](std::string& b) { b[types + 5] = '\x7f'; });
    for (const std::size_t size : {std::size_t{3}, std::size_t{43}, std::size_t{44}, std::size_t{100},
                                   at.data_start - 20, at.data_start + 100, at.data_end - 1, at.data_end}) {
        with("cut-at-" + std::to_string(size), [size](std::string& b) { b.resize(size); });
    }
    return files;
}

TEST(ZoneDifferential, CraftedZoneFilesMatchGlibc)
{
    const std::filesystem::path directory = std::filesystem::temp_directory_path() /
                                            ("pagestamp-zones-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    tally total;
    for (const auto& [name, bytes] : crafted_files()) {
        const std::string path = (directory / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        compare(path, total);
    }
    std::filesystem::remove_all(directory);
    std::printf("crafted files: %zu files, %zu instants compared, %zu mismatches\n", total.zones, total.instants,
                total.mismatches);
    EXPECT_EQ(total.mismatches, 0U);
}

} // namespace
} // namespace pagestamp
