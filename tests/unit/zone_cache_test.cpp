// What the differential test cannot reach: the cache's limits, its answer
// when descriptors run out, and many threads asking at once. Each runs in a
// fresh process, as the cache lives as long as its process.

#include "driver/answer_page.hpp"
#include "zone/zone_cache.hpp"
#include "zone/zone_info.hpp"
#include "zone/zone_local_time.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pagestamp {
namespace {

// The check's failures print in the child; the parent sees its status.
void in_fresh_process(const std::function<void()>& check)
{
    const pid_t child = fork();
    if (child == 0) {
        check();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

std::string offset_zone(std::size_t i) { return "<Z" + std::to_string(i) + "X>" + std::to_string(i % 24); }

TEST(ZoneCache, RefusesWhatItCannotKeep)
{
    in_fresh_process([] {
        EXPECT_EQ(find_zone(std::string(256, 'A')).status, zone_status::too_long);
        // 255 bytes, the most a request may name.
        const zone_choice longest = find_zone("<" + std::string(251, 'A') + ">-1");
        EXPECT_EQ(longest.status, zone_status::found);
        EXPECT_NE(longest.zone, nullptr);
        for (std::size_t i = 1; i < zone_cache_capacity; ++i) {
            ASSERT_EQ(find_zone(offset_zone(i)).status, zone_status::found) << i;
        }
        // Full, a request reads the zone into its own memory instead: any
        // number of distinct zones. The answer says so the first time only.
        const auto room = std::make_unique<zone_info>();
        const request_memory lent{[](void* pool, std::size_t) { return pool; }, room.get()};
        for (std::size_t i = 0; i < 2 * zone_cache_capacity; ++i) {
            const std::string value = i % 2 == 0 ? "Europe/Paris" : offset_zone(1000 + i);
            const zone_choice full = find_zone(value);
            EXPECT_EQ(full.status, zone_status::not_kept) << value;
            EXPECT_EQ(full.zone, nullptr);
            char page[page_capacity];
            const page_answer answered = answer_page(request_env{}, value, lent, page);
            EXPECT_NE(answered.length, 0U) << value;
            EXPECT_EQ(answered.complaint.empty(), i != 0) << i;
            zone_info alone{};
            ASSERT_EQ(read_zone_alone(value, alone), zone_status::found) << value;
            std::tm time{};
            zone_text abbreviation;
            ASSERT_TRUE(zone_local_time(alone, 0, time, abbreviation));
            EXPECT_EQ(abbreviation.view(), i % 2 == 0 ? "CET" : "Z" + std::to_string(1000 + i) + "X");
        }
        // What it keeps is still there, the same zone as before.
        EXPECT_EQ(find_zone("<" + std::string(251, 'A') + ">-1").zone, longest.zone);
    });
}

TEST(ZoneCache, UnsetEmptyAndNamedAreDistinctAndKept)
{
    in_fresh_process([] {
        const zone_choice unset = find_zone(std::string_view());
        const zone_choice empty = find_zone("");
        const zone_choice paris = find_zone("Europe/Paris");
        ASSERT_TRUE(unset.zone != nullptr && empty.zone != nullptr && paris.zone != nullptr);
        EXPECT_NE(unset.zone, empty.zone);
        EXPECT_NE(empty.zone, paris.zone);
        EXPECT_EQ(find_zone(std::string_view()).zone, unset.zone);
        EXPECT_EQ(find_zone("").zone, empty.zone);
        EXPECT_EQ(find_zone(std::string("Europe/Paris")).zone, paris.zone);
    });
}

TEST(ZoneCache, NoDescriptorIsNoResourcesAndIsNotKept)
{
    in_fresh_process([] {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlimit none{0, limit.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
        EXPECT_EQ(find_zone("Asia/Tokyo").status, zone_status::no_resources);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        const zone_choice tokyo = find_zone("Asia/Tokyo");
        ASSERT_EQ(tokyo.status, zone_status::found);
        std::tm time{};
        zone_text abbreviation;
        ASSERT_TRUE(zone_local_time(*tokyo.zone, 0, time, abbreviation));
        EXPECT_EQ(abbreviation.view(), "JST"); // the file, not "Asia" read as a rule
    });
}

TEST(ZoneCache, ThreadsAskingAtOnceShareOneZonePerValue)
{
    in_fresh_process([] {
        std::vector<std::string> values = {"Europe/Paris", "America/New_York", "EST5EDT", "Nowhere", ""};
        for (std::size_t i = values.size(); i < zone_cache_capacity - 4; ++i) {
            values.push_back(offset_zone(i));
        }
        constexpr std::size_t thread_count = 32;
        std::vector<std::vector<const zone_info*>> seen(thread_count);
        std::atomic<std::size_t> waiting{thread_count};
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                // All at once, in the same order: each new value is asked for
                // by every thread while one of them reads it.
                for (waiting.fetch_sub(1); waiting.load() != 0;) {
                }
                for (const std::string& value : values) {
                    seen[t].push_back(find_zone(value).zone);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            const zone_info* const zone = find_zone(values[i]).zone;
            EXPECT_NE(zone, nullptr) << values[i];
            for (std::size_t t = 0; t < thread_count; ++t) {
                EXPECT_EQ(seen[t][i], zone) << values[i] << " in thread " << t;
            }
        }
    });
}

std::string big_endian(std::uint64_t value, std::size_t width)
{
    std::string bytes;
    for (std::size_t i = width; i-- > 0;) {
        bytes += static_cast<char>(value >> (8 * i) & 0xff);
    }
    return bytes;
}

// A valid version 2 file with `transitions` transitions, all to UTC.
std::string zone_file_with(std::size_t transitions)
{
    const auto header = [](std::size_t times) {
        return "TZif2" + std::string(15, '\0') + big_endian(0, 4) + big_endian(0, 4) + big_endian(0, 4) +
               big_endian(times, 4) + big_endian(1, 4) + big_endian(4, 4);
    };
    const std::string type = big_endian(0, 4) + std::string(2, '\0') + std::string("UTC", 4);
    std::string bytes = header(0) + type + header(transitions);
    for (std::size_t i = 0; i < transitions; ++i) {
        bytes += big_endian(i * 1000, 8);
    }
    return bytes + std::string(transitions, '\0') + type + "\nUTC0\n";
}

TEST(ZoneCache, AFileLargerThanAZoneHoldsIsRefusedNotGuessed)
{
    in_fresh_process([] {
        const std::string path = "/tmp/pagestamp-zone-" + std::to_string(getpid());
        for (const std::size_t transitions : {max_transitions, max_transitions + 1}) {
            { std::ofstream(path + std::to_string(transitions), std::ios::binary) << zone_file_with(transitions); }
            const zone_choice choice = find_zone(path + std::to_string(transitions));
            std::remove((path + std::to_string(transitions)).c_str());
            EXPECT_EQ(choice.status, transitions > max_transitions ? zone_status::too_large : zone_status::found)
                << transitions;
        }
    });
}

} // namespace
} // namespace pagestamp
