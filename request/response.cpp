#include "request/response.hpp"

#include <cerrno>
#include <sys/uio.h>
#include <unistd.h>

namespace pagestamp {

body_text cannot_open_message(std::string_view path)
{
    body_text message;
    message.append("[Error: Couldn't open file '");
    message.append(path);
    message.append("']\n");
    return message;
}

bool write_response(const body_text& body)
{
    // One writev: the server sees the whole response in one piece, and a
    // short write (a pipe, a signal) just resumes where it stopped.
    iovec parts[2] = {
        {const_cast<char*>(response_header.data()), response_header.size()},
        {const_cast<char*>(body.c_str()), body.size()},
    };
    iovec* next = parts;
    int left = 2;
    while (left > 0) {
        const ssize_t written = writev(STDOUT_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        auto done = static_cast<std::size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

} // namespace pagestamp
