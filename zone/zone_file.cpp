#include "zone/zone_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pagestamp {

namespace {

bool out_of_resources(long error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

// A file too large to keep is a zone we cannot hold only if it is a zone
// file at all; any other (tzdata.zi, say) glibc reads TZ as a rule for.
file_result starts_as_zone_file(int fd, char* buffer, std::size_t room)
{
    constexpr std::size_t magic_size = 4;
    if (room < magic_size) {
        return file_result::too_large;
    }
    long got = -1;
    do {
        got = syscall(SYS_read, fd, buffer, magic_size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return out_of_resources(errno) ? file_result::no_resources : file_result::unusable;
    }
    const bool zone_file = got == static_cast<long>(magic_size) && buffer[0] == 'T' && buffer[1] == 'Z' &&
                           buffer[2] == 'i' && buffer[3] == 'f';
    return zone_file ? file_result::too_large : file_result::unusable;
}

file_result read_open_file(int fd, char* buffer, std::size_t room, std::size_t& length)
{
    struct stat info {};
    // Through libc: the raw fstat's struct is not glibc's on every machine.
    if (fstat(fd, &info) != 0) {
        return out_of_resources(errno) ? file_result::no_resources : file_result::unusable;
    }
    // A FIFO or a device could block or never end.
    if (!S_ISREG(info.st_mode)) {
        return file_result::unusable;
    }
    if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) >= room) {
        return starts_as_zone_file(fd, buffer, room);
    }
    length = 0;
    for (;;) {
        const long got = syscall(SYS_read, fd, buffer + length, room - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return out_of_resources(errno) ? file_result::no_resources : file_result::unusable;
        }
        if (got == 0) {
            return file_result::read;
        }
        length += static_cast<std::size_t>(got);
        if (length == room) {
            return file_result::too_large; // grown since fstat, past what we keep
        }
    }
}

} // namespace

file_result read_zone_file(const char* path, char* buffer, std::size_t room, std::size_t& length)
{
    const long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return out_of_resources(errno) ? file_result::no_resources : file_result::unusable;
    }
    const file_result result = read_open_file(static_cast<int>(fd), buffer, room, length);
    syscall(SYS_close, fd);
    return result;
}

} // namespace pagestamp
