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

// The first '{' in [at, end) whose preceding byte is a newline (at[-1]
// must be readable), or null. Braces are rarer than newlines in the
// program's documents: they are what is searched for, eight bytes at a time.
const char* find_line_brace(const char* at, const char* end) {
  for (; end - at >= 8; at += 8) {
    uint64_t word = 0, previous = 0;
    std::memcpy(&word, at, sizeof word);
    std::memcpy(&previous, at - 1, sizeof previous);
    const uint64_t both = zero_bytes(word ^ (ONES * '{')) & zero_bytes(previous ^ (ONES * '\n'));
    if (both != 0) return at + __builtin_ctzll(both) / 8;
  }
  for (; at < end; ++at) {
    if (*at == '{' && at[-1] == '\n') return at;
  }
  return nullptr;
}

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
  begin_ = pos_ = counted_ = buffer_.get();
  end_ = begin_ + pending.size();
  start_document();
}

ChunkStream::ChunkStream(std::string_view text)
    : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {
  counted_ = begin_;
  start_document();
}

void ChunkStream::start_document() {
  document_start_ = Tell();
  if (mark_ == NONE || mark_ <= document_start_) {
    mark_ = NONE;
    searched_ = std::max(searched_, document_start_ + 1);
    search();
  }
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

std::size_t ChunkStream::column() const { return bytes_of_line_before(pos_) + 1; }

std::size_t ChunkStream::bytes_of_line_before(const char* at) const {
  const char* start = at;
  while (start != begin_ && start[-1] != '\n') --start;
  return (start == begin_ ? column_before_ : 0) + static_cast<std::size_t>(at - start);
}

// Where reading must stop in the buffer: at its end or at the document's
// size limit.
void ChunkStream::set_stop() {
  const std::size_t used = Tell() - document_start_;
  const std::size_t left = used >= MAX_DOCUMENT_BYTES ? 0 : MAX_DOCUMENT_BYTES - used;
  stop_ = static_cast<std::size_t>(end_ - pos_) > left ? pos_ + left : end_;
}

void ChunkStream::search() {
  if (mark_ != NONE) return;
  const std::size_t read = before_buffer_ + static_cast<std::size_t>(end_ - begin_);
  if (searched_ >= read) return;
  const char* at = begin_ + (std::max(searched_, before_buffer_) - before_buffer_);
  const char* found = nullptr;
  if (at == begin_) {
    if (*at == '{' && newline_before_) found = at;
    ++at;
  }
  if (found == nullptr) found = find_line_brace(at, end_);
  if (found == nullptr) {
    searched_ = read;
    return;
  }
  mark_ = before_buffer_ + static_cast<std::size_t>(found - begin_);
  searched_ = mark_ + 1;
}

bool ChunkStream::resume() {
  over_limit_ = false;
  if (mark_ == NONE) {
    // None among the bytes read (all were searched): read on from here.
    document_start_ = Tell();
    set_stop();
    while (mark_ == NONE) {
      pos_ = stop_;
      if (pos_ != end_) {
        over_limit_ = true;
        return false;
      }
      if (fd_ < 0 || eof_ || !refill()) return true;
    }
  }
  jump_to_mark();
  return true;
}

void ChunkStream::jump_to_mark() {
  pos_ = begin_ + (mark_ - before_buffer_);
  document_start_ = mark_;
  set_stop();
}

bool ChunkStream::more() {
  if (pos_ != end_) {
    over_limit_ = true;
    return false;
  }
  if (fd_ < 0 || eof_) return false;
  if (!refill()) return false;
  if (pos_ == stop_) {
    over_limit_ = true;
    return false;
  }
  return true;
}

bool ChunkStream::refill() {
  // The bytes from the mark on are kept, to be read again if the document
  // turns out not to be one; past the most kept, a later mark stands in.
  const std::size_t read = before_buffer_ + static_cast<std::size_t>(end_ - begin_);
  while (mark_ != NONE && read - mark_ + CHUNK > MAX_REREAD_BYTES) {
    searched_ = mark_ + 1;
    mark_ = NONE;
    search();
  }
  const char* keep = mark_ != NONE ? begin_ + (mark_ - before_buffer_) : end_;
  const auto kept = static_cast<std::size_t>(end_ - keep);
  discard_before(keep);
  if (kept + CHUNK > size_) {
    const std::size_t size = std::max(size_ * 2, kept + CHUNK);
    std::unique_ptr<char[]> bigger(new char[size]);
    std::copy(keep, keep + kept, bigger.get());
    buffer_ = std::move(bigger);
    size_ = size;
  } else if (kept > 0) {
    std::memmove(buffer_.get(), keep, kept);
  }
  begin_ = counted_ = buffer_.get();
  pos_ = end_ = stop_ = begin_ + kept;
  lines_counted_ = 0;
  ssize_t got = 0;
  do {
    got = ::read(fd_, buffer_.get() + kept, size_ - kept);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (got < 0) read_error_ = std::strerror(errno);
    eof_ = true;
    return false;
  }
  if (!copy(end_, static_cast<std::size_t>(got))) {
    eof_ = true;
    return false;
  }
  end_ += got;
  search();
  set_stop();
  return true;
}

void ChunkStream::discard_before(const char* keep) {
  lines_before_ += counted_ >= begin_ && counted_ <= keep
                       ? lines_counted_ + count_newlines(counted_, keep)
                       : count_newlines(begin_, keep);
  // What is kept starts at a mark, which begins a line.
  column_before_ = keep != end_ ? 0 : bytes_of_line_before(keep);
  if (keep != begin_) newline_before_ = keep[-1] == '\n';
  before_buffer_ += static_cast<std::size_t>(keep - begin_);
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
