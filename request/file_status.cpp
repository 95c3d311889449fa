#include "request/file_status.hpp"

#include <sys/stat.h>

namespace pagestamp {

bool get_file_status(const char* path, file_status& status, const zone_info* zone)
{
    struct stat info {};
    if (stat(path, &info) != 0) {
        return false;
    }
    if (info.st_size < 0 || info.st_size > INT32_MAX) {
        return false;
    }
    if (!local_time_of(info.st_mtime, status.mtime, status.zone, zone)) {
        return false;
    }
    status.size = static_cast<std::int32_t>(info.st_size);
    return true;
}

} // namespace pagestamp
