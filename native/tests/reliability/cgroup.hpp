#pragma once

#include <string>

namespace tarnwick::reliability {

// A control-group directory this process created; removed (after the
// processes in it have gone) when the object is destroyed. Children must be
// destroyed before their parent.
class ControlGroup {
 public:
  // Creates `name` under `parent` (a hierarchy's mount point or another
  // group). ok() tells whether that worked.
  ControlGroup(const std::string& parent, const std::string& name);
  ~ControlGroup();
  ControlGroup(const ControlGroup&) = delete;
  ControlGroup& operator=(const ControlGroup&) = delete;

  [[nodiscard]] bool ok() const noexcept { return created_; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // Writes `value` to the group's `file`; false when the kernel refused it.
  [[nodiscard]] bool write(const std::string& file, const std::string& value) const;

 private:
  std::string path_;
  bool created_ = false;
};

// A name no other process of this machine uses at the same time.
[[nodiscard]] std::string unique_group_name(const std::string& stem);

}  // namespace tarnwick::reliability
