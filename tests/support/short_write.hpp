#pragma once
// The reading side of a pipe or socket, played so that the writer gets a
// short write and has to resume: a write of more than the pipe holds is
// interrupted once the pipe is full, and the rest is read a little at a time.

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>

namespace testing_support {

// Waits until `fd` holds `bytes` unread bytes and then stops and continues
// `pid`: a writer blocked on a full pipe or socket gets back from its write
// with only what fitted. False, and nothing sent, when the process ended or
// 30 seconds passed first.
bool interrupt_when_full(pid_t pid, int fd, std::size_t bytes);

// Everything the writer sends until it closes its end, taken `chunk` bytes at
// a time with `pause` between reads. Stops after 30 seconds of silence or
// past `limit` bytes, so that a writer that never stops cannot hang a test.
std::string read_slowly(int fd, std::size_t chunk, std::chrono::microseconds pause, std::size_t limit = 1 << 20);

} // namespace testing_support
