#include "process_state.hpp"

#include <malloc.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace tarnwick::reliability {
namespace {

namespace fs = std::filesystem;

std::size_t count_entries(const char* dir) {
  std::error_code ec;
  std::size_t count = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++count;
  return count;
}

}  // namespace

std::size_t count_threads() { return count_entries("/proc/self/task"); }

std::size_t count_worker_threads() {
  std::error_code ec;
  std::size_t count = 0;
  for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream comm(it->path() / "comm");
    std::string name;
    // A thread that ended between listing and reading has no name to read.
    if (std::getline(comm, name) && name.rfind("tarnwick-", 0) == 0) ++count;
  }
  return count;
}

std::size_t count_open_fds() {
  // The directory stream holds one descriptor while it is listed.
  const std::size_t listed = count_entries("/proc/self/fd");
  return listed == 0 ? 0 : listed - 1;
}

std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void use_single_arena() { mallopt(M_ARENA_MAX, 1); }

std::size_t settled_worker_threads(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t left = count_worker_threads();
  while (left != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    left = count_worker_threads();
  }
  return left;
}

}  // namespace tarnwick::reliability
