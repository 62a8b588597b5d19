// The files documents are read from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace tarnwick {

// What a file that is not a regular one is, for a message: "a folder",
// "a FIFO", "a character device", ... (`mode` as stat gives it).
[[nodiscard]] const char* file_kind(unsigned mode);

// An input opened for reading documents: a regular file, the standard input
// ("-"), or a FIFO named on the command line that has a writer. Anything
// else (a device, a folder, a FIFO without a writer) is refused at once,
// without blocking. `scanned`: found by walking a folder, so a symbolic link
// or a FIFO swapped in since is refused too.
class InputFile {
 public:
  [[nodiscard]] static std::variant<InputFile, std::string> open(const std::string& path,
                                                                 bool scanned = false);
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] bool regular() const { return regular_; }
  [[nodiscard]] int64_t modified_seconds() const { return modified_; }
  // "'runs.json'" or "standard input", with control characters escaped.
  [[nodiscard]] const std::string& name() const { return name_; }
  // Bytes already read while opening (a FIFO's first), for the reader.
  [[nodiscard]] const std::string& pending() const { return pending_; }
  // Where reading began in a regular file: 0, or where standard input stood.
  [[nodiscard]] int64_t start() const { return start_; }

 private:
  InputFile(int fd, bool owned, bool regular, int64_t modified, std::string name);
  // A named path that is not a regular file: a FIFO with a writer is read
  // as a pipe, anything else refused; the reason, if refused.
  std::optional<std::string> accept_special(unsigned mode, bool scanned);

  int fd_ = -1;
  bool owned_ = false;
  bool regular_ = false;
  int64_t modified_ = 0;
  int64_t start_ = 0;
  std::string name_;
  std::string pending_;
};

}  // namespace tarnwick
