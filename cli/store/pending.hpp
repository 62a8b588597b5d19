// Runs that --save could not store (the history locked past the wait, a
// full disk, a read-only file or folder) wait in a pending file, one
// document per line, until the next command that writes the history stores
// them. The file lies beside the history ("history.db.pending"), or in a
// state folder when the history's folder cannot take it.
//
// Processes append and take under an exclusive lock of the file (flock), and
// a process that waited for the lock checks it still holds the file the
// name points to, so no document is appended to a file just taken away.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnwick {

// "<history>.pending"
[[nodiscard]] std::string pending_beside(const std::string& history);

// "<directory>/pending-<hash of the history's absolute path>.jsonl": one
// file per history in a shared state folder.
[[nodiscard]] std::string pending_in(const std::string& directory, const std::string& history);

// Appends `line` (one document, no newline) to the first of `candidates`
// that takes it, creating the file and its folders; the file's path, or
// every candidate's reason joined.
[[nodiscard]] std::variant<std::string, std::string> keep_pending(
    const std::vector<std::string>& candidates, std::string_view line);

// How many documents wait in the pending file at `path` (0 when there is
// none), or why it cannot be read: only a regular file within the limit
// of a document is, without blocking, whatever is named there.
[[nodiscard]] std::variant<size_t, std::string> waiting_documents(const std::string& path);

// A pending file held locked while its documents are stored.
class PendingFile {
 public:
  // Nothing when there is no such file; the reason when it cannot be read.
  [[nodiscard]] static std::variant<std::optional<PendingFile>, std::string> take(
      const std::string& path);
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  // Unlocks, leaving the file unless done() removed it.
  ~PendingFile();

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const std::string& text() const { return text_; }
  // Its documents are stored: removes the file.
  void done();

 private:
  PendingFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_ = -1;
  std::string text_;
};

}  // namespace tarnwick
