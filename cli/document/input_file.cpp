#include "document/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "util/text.hpp"

namespace tarnwick {

InputFile::InputFile(int fd, bool owned, bool regular, int64_t modified, std::string name)
    : fd_(fd), owned_(owned), regular_(regular), modified_(modified), name_(std::move(name)) {}

InputFile::InputFile(InputFile&& other) noexcept { *this = std::move(other); }

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (owned_) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    owned_ = std::exchange(other.owned_, false);
    regular_ = other.regular_;
    modified_ = other.modified_;
    start_ = other.start_;
    name_ = std::move(other.name_);
    pending_ = std::move(other.pending_);
  }
  return *this;
}

InputFile::~InputFile() {
  if (owned_) ::close(fd_);
}

std::variant<InputFile, std::string> InputFile::open(const std::string& path, bool scanned) {
  if (path == "-") {
    struct stat info {};
    const bool regular = ::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode);
    InputFile file(STDIN_FILENO, false, regular, regular ? info.st_mtim.tv_sec : 0,
                   "standard input");
    // A regular file given as standard input may have been read in part
    // already: what is given is what follows.
    const off_t start = regular ? ::lseek(STDIN_FILENO, 0, SEEK_CUR) : 0;
    file.start_ = start > 0 ? start : 0;
    return file;
  }
  std::string name = "'" + printable(path) + "'";
  // Non-blocking, so that a FIFO (or a device) cannot hold the open; no
  // symbolic link where a folder walk found a regular file.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (scanned ? O_NOFOLLOW : 0);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    const int error = errno;
    if (scanned && error == ELOOP) return "cannot read " + name + ": a symbolic link";
    return "cannot read " + name + ": " + std::strerror(error);
  }
  InputFile file(fd, true, false, 0, std::move(name));
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot read " + file.name_ + ": " + std::strerror(errno);
  file.modified_ = info.st_mtim.tv_sec;
  if (S_ISREG(info.st_mode)) {
    file.regular_ = true;
  } else if (auto refused = file.accept_special(info.st_mode, scanned)) {
    return std::move(*refused);
  }
  return file;
}

const char* file_kind(unsigned mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

std::optional<std::string> InputFile::accept_special(unsigned mode, bool scanned) {
  if (!S_ISFIFO(mode) || scanned) {
    return "cannot read " + name_ + ": " + file_kind(mode) + ", not a file of documents";
  }
  // A FIFO without a writer reads as the end at once; with one, as a
  // pipe. A non-blocking read tells them apart without waiting (0: no
  // writer, EAGAIN: a writer that has not written yet); a byte it gets
  // is kept for the reader.
  char probe = 0;
  ssize_t got = 0;
  do {
    got = ::read(fd_, &probe, 1);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return "cannot read " + name_ + ": a FIFO with no writer";
  if (got < 0 && errno != EAGAIN) return "cannot read " + name_ + ": " + std::strerror(errno);
  if (got == 1) pending_.assign(1, probe);
  // Read as a pipe from now on, waiting for its writer.
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  return std::nullopt;
}

}  // namespace tarnwick
