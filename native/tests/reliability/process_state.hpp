#pragma once

#include <chrono>
#include <cstddef>

namespace tarnwick::reliability {

// Threads of this process (entries of /proc/self/task).
[[nodiscard]] std::size_t count_threads();

// Threads whose name starts with "tarnwick-": the library's workers.
[[nodiscard]] std::size_t count_worker_threads();

// Open file descriptors, not counting the one used to list them.
[[nodiscard]] std::size_t count_open_fds();

// Bytes the allocator has handed out and not taken back (in-use chunks plus
// mapped blocks of every arena once `use_single_arena` has run).
[[nodiscard]] std::size_t heap_in_use();

// Puts every thread on the main arena, so heap_in_use sees what workers
// allocate as well.
void use_single_arena();

// A joined thread can linger in /proc for a moment after the join returns:
// waits until no worker thread is listed, up to `timeout`. Returns the count
// left.
[[nodiscard]] std::size_t settled_worker_threads(
    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

}  // namespace tarnwick::reliability
