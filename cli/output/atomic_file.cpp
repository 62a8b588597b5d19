#include "output/atomic_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tarnwick {
namespace {

// The temporary files the signal handlers must remove. A slot's path is
// written before its flag is raised and read only while it is raised.
constexpr std::size_t SLOTS = 16;
struct Slot {
  std::atomic<bool> used{false};
  std::atomic<bool> armed{false};
  std::array<char, PATH_MAX> path{};
};
std::array<Slot, SLOTS> slots;
static_assert(std::atomic<bool>::is_always_lock_free);

int arm_slot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (std::size_t index = 0; index < SLOTS; ++index) {
    bool expected = false;
    if (!slots[index].used.compare_exchange_strong(expected, true)) continue;
    std::memcpy(slots[index].path.data(), path.c_str(), path.size() + 1);
    slots[index].armed.store(true);
    return static_cast<int>(index);
  }
  return -1;
}

void release_slot(int slot) {
  if (slot < 0) return;
  slots[static_cast<std::size_t>(slot)].armed.store(false);
  slots[static_cast<std::size_t>(slot)].used.store(false);
}

std::string message(const std::string& path, int error) {
  if (path == "-") return fmt::format("cannot write standard output: {}", std::strerror(error));
  return fmt::format("cannot write '{}': {}", path, std::strerror(error));
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The symlink `path`'s target as a path (a relative target is relative to
// the link's directory); nothing when it cannot be read.
std::optional<std::string> link_target(const std::string& path) {
  std::array<char, PATH_MAX> buffer{};
  const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size() - 1);
  if (length <= 0) return std::nullopt;
  std::string target(buffer.data(), static_cast<std::size_t>(length));
  return target.front() == '/' ? target : directory_of(path) + '/' + target;
}

// Follows a chain of symlinks in the final component only, as a shell's
// redirection would; a dangling link resolves to the missing file it names.
// Gives up (returns the path as given) on a loop.
std::string follow_final_symlinks(std::string path) {
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    auto target = link_target(path);
    if (!target) return path;
    path = std::move(*target);
  }
  return path;
}

// Where a chain of final symlinks passes through /proc (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N): those links name an open file, not a place,
// so the file behind them is written in place, never replaced. `own` is the
// descriptor when the link is one of this process's own.
struct ProcLink {
  bool found = false;
  int own = -1;
};

bool same_inode(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

ProcLink proc_link(std::string path) {
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return {};
    const std::string directory = directory_of(path);
    struct statfs filesystem {};
    if (statfs(directory.c_str(), &filesystem) == 0 && filesystem.f_type == PROC_SUPER_MAGIC) {
      ProcLink link{true, -1};
      const std::string name = base_of(path);
      if (same_inode(directory, "/proc/self/fd") && !name.empty() && name.size() < 10 &&
          name.find_first_not_of("0123456789") == std::string::npos) {
        link.own = std::stoi(name);
      }
      return link;
    }
    auto target = link_target(path);
    if (!target) return {};
    path = std::move(*target);
  }
  return {};
}

[[nodiscard]] bool write_all(int fd, std::string_view contents) {
  while (!contents.empty()) {
    const ssize_t written = ::write(fd, contents.data(), contents.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    contents.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

mode_t current_umask() {
  // Reading the mask means setting it; the program has no other thread
  // creating files while this runs.
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// The file an output names, for comparing two outputs: an existing file by
// its identity, a missing one by its directory's identity and its name.
struct FileKey {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;  // empty for an existing file
  bool operator==(const FileKey&) const = default;
};

std::optional<FileKey> key_of(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    // Devices and pipes are written through, and /dev/null twice is fine.
    if (!S_ISREG(info.st_mode)) return std::nullopt;
    return FileKey{info.st_dev, info.st_ino, {}};
  }
  const std::string resolved = follow_final_symlinks(path);
  if (stat(directory_of(resolved).c_str(), &info) != 0) return std::nullopt;
  return FileKey{info.st_dev, info.st_ino, base_of(resolved)};
}

}  // namespace

bool names_standard_output(const std::string& path) {
  if (path == "-") return true;
  struct stat target {
  }, out{};
  if (stat(path.c_str(), &target) != 0 || fstat(STDOUT_FILENO, &out) != 0) return false;
  // Devices other than terminals (/dev/null) are sinks, not a stream two
  // outputs could interleave in.
  if (S_ISCHR(out.st_mode) && isatty(STDOUT_FILENO) != 1) return false;
  return target.st_dev == out.st_dev && target.st_ino == out.st_ino;
}

std::variant<OutputFile, std::string> OutputFile::open(const std::string& path) {
  if (path == "-") return OutputFile(path, Kind::standard_output);
  if (names_standard_output(path)) {
    // Standard output by another name: written through a copy of it, at its
    // offset and in its append mode, never replaced.
    OutputFile output(path, Kind::direct);
    output.target_ = path;
    output.fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (output.fd_ < 0) return message(path, errno);
    return output;
  }
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return message(path, errno);
  std::string resolved = follow_final_symlinks(path);
  const ProcLink link = exists ? proc_link(path) : ProcLink{};
  // A link that resolves elsewhere than the kernel's own lookup is written
  // through, never replaced.
  const bool same_file = exists && !link.found && same_inode(resolved, path);
  if (exists && (!S_ISREG(info.st_mode) || !same_file)) {
    if (S_ISDIR(info.st_mode)) return message(path, EISDIR);
    OutputFile output(path, Kind::direct);
    output.target_ = path;
    if (link.own >= 0) {
      // Our own descriptor (`--output /dev/stdout >> log`): write through a
      // copy of it, so its offset and append mode hold and nothing is
      // written over.
      output.fd_ = fcntl(link.own, F_DUPFD_CLOEXEC, 3);
      if (output.fd_ < 0) return message(path, errno);
    } else if (!S_ISFIFO(info.st_mode)) {
      // A regular file behind another process's link is appended to.
      const int append = S_ISREG(info.st_mode) ? O_APPEND : 0;
      output.fd_ = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | append);
      if (output.fd_ < 0) return message(path, errno);
    } else {
      // Opened now, without waiting for a reader: a FIFO nobody reads
      // fails before the run rather than hanging after it.
      output.fd_ = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
      if (output.fd_ < 0 && errno == ENXIO) {
        return fmt::format("cannot write '{}': no process is reading the FIFO", path);
      }
      if (output.fd_ < 0) return message(path, errno);
      const int flags = fcntl(output.fd_, F_GETFL);
      if (flags < 0 || fcntl(output.fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return message(path, errno);
      }
    }
    return output;
  }

  OutputFile output(path, Kind::replace);
  output.target_ = resolved;
  // Hidden, and ending in random letters rather than the target's
  // extension, so nothing that watches for *.csv picks it up half-written.
  std::string name = "." + base_of(resolved).substr(0, 200) + ".XXXXXX";
  std::string temporary = directory_of(resolved) + "/" + name;
  std::vector<char> buffer(temporary.begin(), temporary.end());
  buffer.push_back('\0');
  const int fd = mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) return message(path, errno);
  output.fd_ = fd;
  output.temporary_ = buffer.data();
  output.slot_ = arm_slot(output.temporary_);
  const mode_t mode = exists ? (info.st_mode & 07777) : (0666 & ~current_umask());
  if (fchmod(fd, mode) != 0) {
    const int error = errno;
    output.discard();
    return message(path, error);
  }
  // Keep an existing file's owner when allowed to (as root); otherwise the
  // file becomes the writer's, as any editor's save would make it.
  if (exists && fchown(fd, info.st_uid, info.st_gid) != 0) {
    // Not ours to give away: the new file stays the writer's.
  }
  return output;
}

// An empty file, which holds nothing to discard, takes `other` over.
OutputFile::OutputFile(OutputFile&& other) noexcept : kind_(other.kind_) {
  *this = std::move(other);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    discard();
    path_ = std::move(other.path_);
    kind_ = other.kind_;
    on_standard_output_ = other.on_standard_output_;
    target_ = std::move(other.target_);
    temporary_ = std::move(other.temporary_);
    fd_ = std::exchange(other.fd_, -1);
    slot_ = std::exchange(other.slot_, -1);
    committed_ = other.committed_;
  }
  return *this;
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
  release_slot(std::exchange(slot_, -1));
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

std::optional<std::string> OutputFile::commit(std::string_view contents) {
  if (committed_) return message(path_, EBADF);
  committed_ = true;
  switch (kind_) {
    case Kind::standard_output:
      return write_standard_output(contents);
    case Kind::direct: {
      if (fd_ < 0) fd_ = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      const bool written = fd_ >= 0 && write_all(fd_, contents);
      const int error = errno;
      const bool closed = fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0;
      if (!written) return message(path_, error);
      if (!closed) return message(path_, errno);
      return std::nullopt;
    }
    case Kind::replace:
      break;
  }
  // Flushed to the disk before the rename, so a crash leaves the old file
  // or the new one, never an empty one.
  if (!write_all(fd_, contents) || fsync(fd_) != 0 || ::close(std::exchange(fd_, -1)) != 0 ||
      ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    discard();
    return message(path_, error);
  }
  release_slot(std::exchange(slot_, -1));
  temporary_.clear();
  return std::nullopt;
}

std::optional<std::string> OutputFile::write(std::string_view part) {
  if (committed_) return message(path_, EBADF);
  if (kind_ == Kind::standard_output) {
    errno = 0;
    if (std::fwrite(part.data(), 1, part.size(), stdout) == part.size()) return std::nullopt;
    return message("-", errno != 0 ? errno : EIO);
  }
  if (fd_ < 0 && kind_ == Kind::direct) {
    fd_ = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  }
  if (fd_ >= 0 && write_all(fd_, part)) return std::nullopt;
  const int error = errno;
  discard();
  committed_ = true;
  return message(path_, error);
}

std::optional<std::string> write_standard_output(std::string_view contents) {
  errno = 0;
  const bool written = std::fwrite(contents.data(), 1, contents.size(), stdout) == contents.size();
  if (std::fflush(stdout) == 0 && written) return std::nullopt;
  return message("-", errno != 0 ? errno : EIO);
}

void remove_temporary_files() noexcept {
  for (Slot& slot : slots) {
    if (slot.armed.load()) ::unlink(slot.path.data());
  }
}

std::optional<std::string> output_clash(const std::vector<NamedOutput>& outputs,
                                        std::string_view stdout_owner) {
  std::vector<const NamedOutput*> given;
  for (const NamedOutput& output : outputs) {
    if (!output.given) continue;
    if (output.path.empty()) return fmt::format("{}: expected a file name, got ''", output.option);
    given.push_back(&output);
  }
  for (std::size_t i = 0; i < given.size(); ++i) {
    const NamedOutput& first = *given[i];
    const bool first_on_stdout = names_standard_output(first.path);
    if (first_on_stdout && !stdout_owner.empty()) {
      return fmt::format("{} {} and {} both write to standard output", first.option, first.path,
                         stdout_owner);
    }
    for (std::size_t j = i + 1; j < given.size(); ++j) {
      const NamedOutput& second = *given[j];
      const bool second_on_stdout = names_standard_output(second.path);
      if (first_on_stdout && second_on_stdout) {
        return fmt::format("{} {} and {} {} both write to standard output", first.option,
                           first.path, second.option, second.path);
      }
      if (first.path == "-" || second.path == "-") continue;
      const auto a = key_of(first.path);
      if (a && a == key_of(second.path)) {
        return fmt::format("{} and {} name the same file ('{}' and '{}')", first.option,
                           second.option, first.path, second.path);
      }
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick
