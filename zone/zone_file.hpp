#pragma once
// A zone file read whole with direct system calls: the program is linked
// with BIND_NOW, and open, fstat, read and close through libc would cost every
// CGI start four more symbol lookups for something only a server module uses.

#include <cstddef>

namespace pagestamp {

enum class file_result {
    read,
    unusable, // missing, unreadable, not a regular file, or no zone file: glibc cannot use it either
    no_resources, // no descriptor or memory
    too_large, // a zone file larger than `room`
};

file_result read_zone_file(const char* path, char* buffer, std::size_t room, std::size_t& length);

} // namespace pagestamp
