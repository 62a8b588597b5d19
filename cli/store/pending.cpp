#include "store/pending.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <utility>

#include "document/input_file.hpp"
#include "document/reader.hpp"

namespace tarnwick {
namespace {

// FNV-1a: a stable name for a path, not a secret.
uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void make_parents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Opens the pending file at `path` without blocking and without following a
// symbolic link: a FIFO, device, socket or link named there is refused at
// once (reading /dev/zero would never end, a FIFO would block). -1 with
// `why` set when it cannot be used; -1 with `why` empty when it is absent
// and `flags` do not create it.
int open_regular(const std::string& path, int flags, std::string& why) {
  why.clear();
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    struct stat info {};
    if (error == ENOENT) return -1;
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      why = fmt::format("'{}' is {}, not a file of pending runs", path, file_kind(info.st_mode));
    } else {
      why = fmt::format("'{}': {}", path, std::strerror(error));
    }
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = fmt::format("'{}' is {}, not a file of pending runs", path, file_kind(info.st_mode));
    ::close(fd);
    return -1;
  }
  // A regular file never blocks; the flag is cleared all the same.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Locks the file open on `fd`; false when the name no longer leads to it
// (another process took the file while this one waited).
bool lock_current(int fd, const std::string& path) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The reason appending to `path` failed, or nothing when it succeeded.
std::optional<std::string> append(const std::string& path, std::string_view line) {
  make_parents(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string why;
    const int fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT, why);
    if (fd < 0) return why;
    if (!lock_current(fd, path)) {
      ::close(fd);
      continue;
    }
    const std::string text = std::string(line) + "\n";
    struct stat before {};
    ::fstat(fd, &before);
    const bool written = write_all(fd, text) && ::fsync(fd) == 0;
    const int error = errno;
    if (!written) {
      // A line cut short would spoil the file for the next reader, and an
      // empty file made here is no use to anyone.
      if (before.st_size == 0) {
        ::unlink(path.c_str());
      } else if (::ftruncate(fd, before.st_size) != 0) {
        // Left as is: the reader refuses a broken line and keeps the file.
      }
    }
    ::close(fd);
    if (!written) return fmt::format("'{}': {}", path, std::strerror(error));
    return std::nullopt;
  }
  return fmt::format("'{}': taken away by other processes again and again", path);
}

}  // namespace

std::string pending_beside(const std::string& history) { return history + ".pending"; }

std::string pending_in(const std::string& directory, const std::string& history) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(history, error);
  const std::string key = error ? history : absolute.lexically_normal().string();
  return fmt::format("{}/pending-{:016x}.jsonl", directory, fnv1a(key));
}

std::variant<std::string, std::string> keep_pending(const std::vector<std::string>& candidates,
                                                    std::string_view line) {
  std::string reasons;
  for (const std::string& path : candidates) {
    const auto failure = append(path, line);
    if (!failure) return std::variant<std::string, std::string>(std::in_place_index<0>, path);
    reasons += (reasons.empty() ? "" : "; ") + *failure;
  }
  return std::variant<std::string, std::string>(std::in_place_index<1>, reasons);
}

std::variant<std::optional<PendingFile>, std::string> PendingFile::take(const std::string& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string why;
    const int fd = open_regular(path, O_RDWR, why);
    if (fd < 0) {
      if (why.empty()) return std::optional<PendingFile>();
      return fmt::format("cannot read {}", why);
    }
    if (!lock_current(fd, path)) {
      ::close(fd);
      continue;
    }
    PendingFile taken(path, fd);  // closes the file on the way out
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return fmt::format("cannot read '{}': {}", path, std::strerror(errno));
      if (got == 0) break;
      // Read with the limit of any document: it waits for whoever can see to it.
      if (taken.text_.size() + static_cast<size_t>(got) > MAX_DOCUMENT_BYTES) {
        return fmt::format("cannot read '{}': larger than {} MiB, the limit of a document", path,
                           MAX_DOCUMENT_BYTES >> 20);
      }
      taken.text_.append(buffer, static_cast<size_t>(got));
    }
    return std::optional<PendingFile>(std::move(taken));
  }
  return fmt::format("cannot read '{}': taken away by other processes again and again", path);
}

std::variant<size_t, std::string> waiting_documents(const std::string& path) {
  std::string why;
  const int fd = open_regular(path, O_RDONLY, why);
  if (fd < 0) {
    if (why.empty()) return size_t{0};
    return why;
  }
  size_t lines = 0;
  size_t read = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    read += static_cast<size_t>(got);
    if (read > MAX_DOCUMENT_BYTES) {
      ::close(fd);
      return fmt::format("'{}' is larger than {} MiB, the limit of a document", path,
                         MAX_DOCUMENT_BYTES >> 20);
    }
    for (ssize_t index = 0; index < got; ++index) lines += buffer[index] == '\n' ? 1 : 0;
  }
  ::close(fd);
  return lines;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      text_(std::move(other.text_)) {}

PendingFile::~PendingFile() {
  if (fd_ >= 0) ::close(fd_);
}

void PendingFile::done() {
  // Removed while still locked: a process waiting to append finds the name
  // gone from under its lock and makes a new file.
  ::unlink(path_.c_str());
}

}  // namespace tarnwick
