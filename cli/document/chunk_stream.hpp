// The reader's input: a file read in chunks of 64 KiB, or text in memory,
// as RapidJSON's input stream. It is also where documents are told apart:
// it ends a document at its size limit and at the next line that begins
// with '{'.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::reading {

// Newlines in [first, last), eight bytes at a time: every byte read is
// counted once, so this is on the reader's hot path.
[[nodiscard]] std::size_t count_newlines(const char* first, const char* last);

// RapidJSON's input stream over a file read in chunks, or over text in
// memory. It stops (reads as the end) where the current document would pass
// the size limit, so no input can make the reader hold more than that.
class ChunkStream {
 public:
  using Ch = char;
  static constexpr std::size_t CHUNK = std::size_t{1} << 16;

  // Reads `fd` after the bytes of `pending`; with `copy_fd` >= 0, writes
  // every byte read there too.
  ChunkStream(int fd, std::string_view pending, int copy_fd);
  // Reads `text`, which must outlive the stream.
  explicit ChunkStream(std::string_view text);

  [[gnu::always_inline]] Ch Peek() {
    if (pos_ == stop_ && !more()) return '\0';
    return *pos_;
  }
  [[gnu::always_inline]] Ch Take() {
    if (pos_ == stop_ && !more()) return '\0';
    return *pos_++;
  }
  [[nodiscard]] std::size_t Tell() const {
    return before_buffer_ + static_cast<std::size_t>(pos_ - begin_);
  }
  // Unused: the reader does not parse in place.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  // A new document (or a search for one) starts here: its limit counts from now.
  void start_document();
  // True when reading stopped where a line begins with '{': in JSON lines
  // and in pretty-printed documents, only a new document starts so (inner
  // lines are indented), so an unfinished one ends there.
  [[nodiscard]] bool at_boundary() const { return at_boundary_; }
  // True when no byte is left (reading more if needed).
  bool exhausted() { return Peek() == '\0' && pos_ == end_ && !over_limit_; }
  [[nodiscard]] bool over_limit() const { return over_limit_; }
  [[nodiscard]] const std::optional<std::string>& read_error() const { return read_error_; }

  // The line and column of the next byte, from 1.
  [[nodiscard]] std::size_t line();
  [[nodiscard]] std::size_t column() const;

 private:
  void set_stop();
  [[nodiscard]] const char* find_boundary(const char* from) const;
  // Called at stop_: refills the buffer, or marks the limit; false when no
  // byte can be read.
  [[gnu::noinline]] bool more();
  // Reads the next chunk into the emptied buffer; false at the end or on an error.
  bool refill();
  bool copy(const char* bytes, std::size_t size);

  int fd_ = -1;
  int copy_fd_ = -1;
  std::size_t size_ = 0;
  std::unique_ptr<char[]> buffer_;  // not zeroed: every byte used is read first
  const char* begin_ = nullptr;     // the buffer's first byte
  const char* pos_ = nullptr;
  const char* end_ = nullptr;       // past the bytes read
  const char* stop_ = nullptr;      // end_, or where the size limit or a boundary is
  const char* boundary_ = nullptr;  // the next line's '{', if in this buffer
  bool at_boundary_ = false;
  std::size_t before_buffer_ = 0;  // bytes of the buffers before this one
  std::size_t document_start_ = 0;
  std::size_t lines_before_ = 0;   // newlines in the buffers before this one
  const char* counted_ = nullptr;  // newlines of this buffer are counted up to here
  std::size_t lines_counted_ = 0;
  std::size_t column_before_ = 0;  // bytes of the current line in those buffers
  bool eof_ = false;
  bool over_limit_ = false;
  std::optional<std::string> read_error_;
};

}  // namespace tarnwick::reading
