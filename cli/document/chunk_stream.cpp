#include "document/chunk_stream.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "document/reader.hpp"

namespace tarnwick::reading {
namespace {

constexpr uint64_t ONES = 0x0101010101010101ULL;
constexpr uint64_t LOW7 = 0x7f7f7f7f7f7f7f7fULL;

// 0x80 in exactly the zero bytes of `x`.
constexpr uint64_t zero_bytes(uint64_t x) { return ~(((x & LOW7) + LOW7) | x | LOW7); }

}  // namespace

std::size_t count_newlines(const char* first, const char* last) {
  std::size_t count = 0;
  for (; last - first >= 8; first += 8) {
    uint64_t word = 0;
    std::memcpy(&word, first, sizeof word);
    // A zero byte where a newline was, then their number.
    const uint64_t zeros = zero_bytes(word ^ (ONES * '\n'));
    count += static_cast<std::size_t>(((zeros >> 7) * ONES) >> 56);
  }
  for (; first != last; ++first) count += *first == '\n' ? 1 : 0;
  return count;
}

ChunkStream::ChunkStream(int fd, std::string_view pending, int copy_fd)
    : fd_(fd), copy_fd_(copy_fd), size_(std::max(CHUNK, pending.size())), buffer_(new char[size_]) {
  std::copy(pending.begin(), pending.end(), buffer_.get());
  copy(pending.data(), pending.size());
  begin_ = pos_ = buffer_.get();
  end_ = begin_ + pending.size();
  set_stop();
}

ChunkStream::ChunkStream(std::string_view text)
    : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {
  set_stop();
}

void ChunkStream::start_document() {
  document_start_ = Tell();
  at_boundary_ = false;
  boundary_ = find_boundary(pos_);
  set_stop();
}

std::size_t ChunkStream::line() {
  if (counted_ < begin_ || counted_ > pos_) {
    counted_ = begin_;
    lines_counted_ = 0;
  }
  lines_counted_ += count_newlines(counted_, pos_);
  counted_ = pos_;
  return lines_before_ + lines_counted_ + 1;
}

std::size_t ChunkStream::column() const {
  const char* at = pos_;
  while (at != begin_ && at[-1] != '\n') --at;
  return (at == begin_ ? column_before_ : 0) + static_cast<std::size_t>(pos_ - at) + 1;
}

// Where reading must stop in the buffer: at its end, at the document's
// size limit or at the next line that begins with '{'.
void ChunkStream::set_stop() {
  const std::size_t used = Tell() - document_start_;
  const std::size_t left = used >= MAX_DOCUMENT_BYTES ? 0 : MAX_DOCUMENT_BYTES - used;
  stop_ = static_cast<std::size_t>(end_ - pos_) > left ? pos_ + left : end_;
  if (boundary_ != nullptr && boundary_ >= pos_ && boundary_ < stop_) stop_ = boundary_;
}

// The '{' of the first "\n{" after `from`, or null. Braces are rarer than
// newlines in the program's documents: they are what is searched for.
const char* ChunkStream::find_boundary(const char* from) const {
  // Eight bytes at a time: a '{' whose preceding byte is '\n'.
  const char* at = from + 1;
  for (; end_ - at >= 8; at += 8) {
    uint64_t word = 0, previous = 0;
    std::memcpy(&word, at, sizeof word);
    std::memcpy(&previous, at - 1, sizeof previous);
    const uint64_t both = zero_bytes(word ^ (ONES * '{')) & zero_bytes(previous ^ (ONES * '\n'));
    if (both != 0) return at + __builtin_ctzll(both) / 8;
  }
  for (; at < end_; ++at) {
    if (*at == '{' && at[-1] == '\n') return at;
  }
  return nullptr;
}

bool ChunkStream::more() {
  if (pos_ != end_) {
    if (pos_ == boundary_) {
      at_boundary_ = true;
    } else {
      over_limit_ = true;
    }
    return false;
  }
  if (fd_ < 0 || eof_) return false;
  if (!refill()) return false;
  if (pos_ == stop_) {
    if (pos_ == boundary_) {
      at_boundary_ = true;
    } else {
      over_limit_ = true;
    }
    return false;
  }
  return true;
}

bool ChunkStream::refill() {
  if (counted_ < begin_ || counted_ > end_) {
    counted_ = begin_;
    lines_counted_ = 0;
  }
  lines_before_ += lines_counted_ + count_newlines(counted_, end_);
  const char* last = end_;
  while (last != begin_ && last[-1] != '\n') --last;
  column_before_ = (last == begin_ ? column_before_ : 0) + static_cast<std::size_t>(end_ - last);
  const bool line_ended = end_ != begin_ && end_[-1] == '\n';
  before_buffer_ += static_cast<std::size_t>(end_ - begin_);
  begin_ = pos_ = end_ = stop_ = counted_ = buffer_.get();
  lines_counted_ = 0;
  ssize_t got = 0;
  do {
    got = ::read(fd_, buffer_.get(), size_);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (got < 0) read_error_ = std::strerror(errno);
    eof_ = true;
    return false;
  }
  end_ = begin_ + got;
  boundary_ =
      line_ended && *begin_ == '{' && Tell() > document_start_ ? begin_ : find_boundary(begin_);
  set_stop();
  if (!copy(begin_, static_cast<std::size_t>(got))) {
    eof_ = true;
    end_ = stop_ = pos_;
    return false;
  }
  return true;
}

// Writes what was read to the copy, if any; false (with the reason kept
// as a read error) when that fails.
bool ChunkStream::copy(const char* bytes, std::size_t size) {
  while (copy_fd_ >= 0 && size > 0) {
    const ssize_t wrote = ::write(copy_fd_, bytes, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      read_error_ = std::string("cannot keep a copy: ") + std::strerror(errno);
      return false;
    }
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace tarnwick::reading
