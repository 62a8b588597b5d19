#include "cgroup.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

namespace tarnwick::reliability {

ControlGroup::ControlGroup(const std::string& parent, const std::string& name)
    : path_(parent + "/" + name), created_(::mkdir(path_.c_str(), 0755) == 0) {}

ControlGroup::~ControlGroup() {
  if (!created_) return;
  // A process that just exited may still be counted for a moment.
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (::rmdir(path_.c_str()) == 0 || errno != EBUSY) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ControlGroup::write(const std::string& file, const std::string& value) const {
  std::ofstream out(path_ + "/" + file);
  out << value;
  out.flush();
  return static_cast<bool>(out);
}

std::string unique_group_name(const std::string& stem) {
  static std::atomic<unsigned> next{0};
  return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(next++);
}

}  // namespace tarnwick::reliability
