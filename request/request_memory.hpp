#pragma once
// Memory a server lends one request beyond the fixed buffers on the stack:
// httpd's and nginx's request pools, which free it when the request ends.

#include <cstddef>

namespace pagestamp {

struct request_memory {
    // `bytes` from `pool`, or nullptr when there are none to spare.
    void* (*take)(void* pool, std::size_t bytes) = nullptr;
    void* pool = nullptr;
    // Hands them back once used, where the pool outlives many answers (an
    // nginx page's includes share its pool); null where it does not.
    void (*give_back)(void* pool, void* bytes) = nullptr;
};

} // namespace pagestamp
