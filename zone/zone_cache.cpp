#include "zone/zone_cache.hpp"

#include "zone/zone_info.hpp"
#include "zone/zone_source.hpp"
#include "text/fixed_text.hpp"

#include <atomic>
#include <new>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pagestamp {

namespace {

struct cache_entry {
    bool tz_set;
    fixed_text<time_zone_capacity> tz;
    zone_info zone;
};

// Mapped on the first fill, so that a process that never asks (the CGI)
// pays nothing; a page becomes memory only once an entry is filled there.
// About 16 KiB an entry.
cache_entry* entries = nullptr;
// Entries below this count are complete and never change again: a reader
// that loads it with acquire sees them whole.
constinit std::atomic<std::size_t> published{0};
// One filler at a time; only a TZ not seen before waits on it.
constinit std::atomic<bool> filling{false};
// What a zone file is read into; only the filler writes it. The largest file
// of tzdata takes 4 KiB.
constexpr std::size_t file_room = std::size_t{64} * 1024;
constinit fixed_text<file_room> file_buffer{all_zero};

bool same_tz(const cache_entry& entry, std::string_view tz)
{
    return entry.tz_set == (tz.data() != nullptr) && same_text(entry.tz.view(), tz);
}

const zone_info* find_published(std::string_view tz, std::size_t from, std::size_t count)
{
    for (std::size_t i = from; i < count; ++i) {
        if (same_tz(entries[i], tz)) {
            return &entries[i].zone;
        }
    }
    return nullptr;
}

struct fill_lock {
    fill_lock()
    {
        while (filling.exchange(true, std::memory_order_acquire)) {
            syscall(SYS_sched_yield); // the filler is reading a file: let it run
        }
    }
    ~fill_lock() { filling.store(false, std::memory_order_release); }
    fill_lock(const fill_lock&) = delete;
    fill_lock& operator=(const fill_lock&) = delete;
};

cache_entry* map_entries()
{
    // Through libc: the raw mmap's arguments differ from machine to machine.
    void* const memory = mmap(nullptr, sizeof(cache_entry) * zone_cache_capacity, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<cache_entry*>(memory);
}

zone_status status_of(zone_load load)
{
    switch (load) {
    case zone_load::loaded:
        return zone_status::found;
    case zone_load::no_resources:
        return zone_status::no_resources;
    case zone_load::too_large:
        break;
    }
    return zone_status::too_large;
}

zone_choice fill(std::string_view tz, std::size_t seen)
{
    const fill_lock lock;
    if (entries == nullptr && (entries = map_entries()) == nullptr) {
        return {nullptr, zone_status::no_resources};
    }
    const std::size_t count = published.load(std::memory_order_relaxed);
    if (const zone_info* zone = find_published(tz, seen, count)) {
        return {zone, zone_status::found}; // another thread filled it meanwhile
    }
    if (count == zone_cache_capacity) {
        return {nullptr, zone_status::not_kept};
    }
    cache_entry& entry = *new (&entries[count]) cache_entry;
    if (const zone_load load = load_zone(tz, entry.zone, file_buffer.bytes, file_room); load != zone_load::loaded) {
        return {nullptr, status_of(load)}; // not kept: a later request may find descriptors
    }
    entry.tz_set = tz.data() != nullptr;
    entry.tz.clear();
    entry.tz.append(tz);
    published.store(count + 1, std::memory_order_release);
    return {&entry.zone, zone_status::found};
}

} // namespace

zone_choice find_zone(std::string_view tz)
{
    if (tz.size() > time_zone_capacity) {
        return {nullptr, zone_status::too_long};
    }
    const std::size_t count = published.load(std::memory_order_acquire);
    if (const zone_info* zone = find_published(tz, 0, count)) {
        return {zone, zone_status::found};
    }
    if (count == zone_cache_capacity) {
        return {nullptr, zone_status::not_kept};
    }
    return fill(tz, count);
}

// The file buffer is the cache's, so this waits its turn with the fillers;
// only a zone the cache is too full to keep pays it.
zone_status read_zone_alone(std::string_view tz, zone_info& zone)
{
    if (tz.size() > time_zone_capacity) {
        return zone_status::too_long;
    }
    const fill_lock lock;
    return status_of(load_zone(tz, zone, file_buffer.bytes, file_room));
}

} // namespace pagestamp
