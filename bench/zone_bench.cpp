// A local time by our zone reader against glibc's localtime_r in the same
// zone, in one run: the reader must not cost a request more. The putenv and
// tzset a responder needed before it are measured as well, switching between
// two zones as requests for two virtual hosts would.

#include "request/local_time.hpp"
#include "zone/zone_cache.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

namespace {

constexpr std::time_t moment = 1049296029;

bool convert(std::time_t when, const pagestamp::zone_info* zone)
{
    std::tm time{};
    pagestamp::zone_text abbreviation;
    return pagestamp::local_time_of(when, time, abbreviation, zone);
}

void libc_local_time(benchmark::State& state)
{
    setenv("TZ", "Europe/London", 1);
    tzset();
    std::time_t when = moment;
    for (auto _ : state) {
        benchmark::DoNotOptimize(convert(++when, nullptr));
    }
}
BENCHMARK(libc_local_time);

void reader_local_time(benchmark::State& state)
{
    std::time_t when = moment;
    for (auto _ : state) {
        const pagestamp::zone_choice zone = pagestamp::find_zone("Europe/London");
        benchmark::DoNotOptimize(convert(++when, zone.zone));
    }
}
BENCHMARK(reader_local_time);

void libc_two_zones(benchmark::State& state)
{
    static char london[] = "TZ=Europe/London";
    static char new_york[] = "TZ=America/New_York";
    std::time_t when = moment;
    bool other = false;
    for (auto _ : state) {
        putenv((other = !other) ? new_york : london);
        tzset();
        benchmark::DoNotOptimize(convert(++when, nullptr));
    }
}
BENCHMARK(libc_two_zones);

void reader_two_zones(benchmark::State& state)
{
    std::time_t when = moment;
    bool other = false;
    for (auto _ : state) {
        const pagestamp::zone_choice zone =
            pagestamp::find_zone((other = !other) ? "America/New_York" : "Europe/London");
        benchmark::DoNotOptimize(convert(++when, zone.zone));
    }
}
BENCHMARK(reader_two_zones);

} // namespace

BENCHMARK_MAIN();
