// Every file the program writes goes through OutputFile, so no output ever
// destroys what was there before it is complete:
//  - a regular file, or a missing one (after following a final symlink), is
//    written to a temporary file in the same directory and renamed over the
//    target only once complete; a new file gets 0666 & ~umask, an existing
//    one keeps its mode;
//  - anything else (/dev/null, a FIFO, /dev/fd/N, a terminal) is written
//    directly; a FIFO is opened at once, and fails when nobody reads it;
//  - "-" is standard output.
// Opening creates the temporary file at once, so a bad path fails before
// the run instead of after it. An output that is never committed, or a
// signal that ends the program (remove_temporary_files), leaves the target
// byte for byte as it was and no temporary file behind.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnwick {

// True for "-" and for any path that names the file standard output is
// open on (/dev/stdout, /dev/fd/1, /proc/self/fd/1, the file it was
// redirected to); devices other than terminals excepted.
[[nodiscard]] bool names_standard_output(const std::string& path);

class OutputFile {
 public:
  // Prepares `path` for a later commit; on failure, the message
  // ("cannot write 'x': No such file or directory").
  [[nodiscard]] static std::variant<OutputFile, std::string> open(const std::string& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Discards what was not committed.
  ~OutputFile();

  // Writes `contents` in full and puts it in place; on failure, the message
  // ("cannot write 'x': No space left on device" or, for "-", "cannot write
  // standard output: Broken pipe"), and a regular target is untouched.
  // Commits once; a second call fails.
  [[nodiscard]] std::optional<std::string> commit(std::string_view contents);

  // Writes `part` now, ahead of commit, so a long output need not be held
  // in memory: a regular target still changes only at commit. On failure,
  // the message; the output is then discarded.
  [[nodiscard]] std::optional<std::string> write(std::string_view part);

  // Removes the temporary file now; the target stays as it was.
  void discard() noexcept;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool is_standard_output() const { return on_standard_output_; }
  // Written as a stream (standard output, a pipe, a device), not replaced.
  [[nodiscard]] bool is_stream() const { return kind_ != Kind::replace; }

 private:
  enum class Kind { replace, direct, standard_output };
  OutputFile(std::string path, Kind kind)
      : path_(std::move(path)), kind_(kind), on_standard_output_(names_standard_output(path_)) {}

  std::string path_;  // as the user gave it, for messages
  Kind kind_;
  bool on_standard_output_ = false;
  std::string target_;  // replace: the resolved file; direct: the path to open
  std::string temporary_;
  int fd_ = -1;    // replace: the temporary file; direct: the target, when opened early
  int slot_ = -1;  // the temporary file's entry for the signal handlers
  bool committed_ = false;
};

// Writes `contents` to standard output and flushes; on failure the message
// "cannot write standard output: <reason>".
[[nodiscard]] std::optional<std::string> write_standard_output(std::string_view contents);

// Removes every temporary file not yet committed. Async-signal-safe: the
// handlers of a signal that ends the program call it.
void remove_temporary_files() noexcept;

// One output option as the user gave it.
struct NamedOutput {
  std::string option;  // "--csv"
  std::string path;    // empty when the option was not given
  bool given = false;
};

// The usage error of a set of outputs, if any: an empty path, two outputs
// naming one file (the files are compared, not the texts), two outputs on
// standard output by any name, or one while `stdout_owner` (e.g. "--json")
// holds it.
[[nodiscard]] std::optional<std::string> output_clash(const std::vector<NamedOutput>& outputs,
                                                      std::string_view stdout_owner = {});

}  // namespace tarnwick
