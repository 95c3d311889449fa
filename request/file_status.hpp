#pragma once
// What the stamp is about: the size and the local modification time of a file.

#include "request/local_time.hpp"

#include <cstdint>
#include <ctime>

namespace pagestamp {

struct file_status {
    std::int32_t size = 0; // pages have always shown sizes as signed 32 bits
    std::tm mtime{};
    zone_text zone; // the abbreviation in force at mtime, not now
};

// stat (following symbolic links) and the local time in `zone` (null: the
// process's own). False when the file cannot be described: no status, a size
// of 2 GiB or more, or a time with no local time.
bool get_file_status(const char* path, file_status& status, const zone_info* zone);

} // namespace pagestamp
