// The reader's input: a file read in chunks of 64 KiB, or text in memory,
// as RapidJSON's input stream. Documents end where the parser says they
// do; the stream only remembers where one may begin after a document that
// cannot be parsed: the first line after its start that begins with '{'.
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

// The most of a document kept to be read again after a parse error (from
// its first inner line that begins with '{'); past it, reading resumes at
// a later such line.
inline constexpr std::size_t MAX_REREAD_BYTES = std::size_t{64} << 20;

// RapidJSON's input stream over a file read in chunks, or over text in
// memory. It stops (reads as the end) where the current document would pass
// the size limit, so no input can make the reader hold more than that.
class ChunkStream {
 public:
  using Ch = char;
  static constexpr std::size_t CHUNK = std::size_t{1} << 16;
  static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

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

  // A new document starts here: its size limit counts from now.
  void start_document();
  // Where a document may begin after this one (the offset of the first
  // line after its start that begins with '{', among the bytes read and
  // kept), or NONE.
  [[nodiscard]] std::size_t mark() const { return mark_; }
  // After a parse error: moves to that line, back or forward, reading on
  // to find it if needed. False when none is found within the size limit
  // (the rest is not read); true at the end of the input too.
  bool resume();
  // True when no byte is left (reading more if needed).
  bool exhausted() { return Peek() == '\0' && pos_ == end_ && !over_limit_; }
  [[nodiscard]] bool over_limit() const { return over_limit_; }
  [[nodiscard]] const std::optional<std::string>& read_error() const { return read_error_; }

  // The line and column of the next byte, from 1.
  [[nodiscard]] std::size_t line();
  [[nodiscard]] std::size_t column() const;

 private:
  void set_stop();
  // The bytes of the line before `at`, those before the buffer included.
  [[nodiscard]] std::size_t bytes_of_line_before(const char* at) const;
  // Looks for the mark from the search's frontier to the end of the bytes read.
  void search();
  void jump_to_mark();
  // Called at stop_: refills the buffer, or marks the limit; false when no
  // byte can be read.
  [[gnu::noinline]] bool more();
  // Reads the next chunk, keeping the bytes from the mark on; false at the
  // end or on an error.
  bool refill();
  // Drops the bytes before `keep` from the buffer, counting their lines.
  void discard_before(const char* keep);
  bool copy(const char* bytes, std::size_t size);

  int fd_ = -1;
  int copy_fd_ = -1;
  std::size_t size_ = 0;
  std::unique_ptr<char[]> buffer_;  // not zeroed: every byte used is read first
  const char* begin_ = nullptr;     // the buffer's first byte
  const char* pos_ = nullptr;
  const char* end_ = nullptr;      // past the bytes read
  const char* stop_ = nullptr;     // end_, or where the size limit is
  std::size_t before_buffer_ = 0;  // bytes before the buffer's first
  std::size_t document_start_ = 0;
  std::size_t mark_ = NONE;
  std::size_t searched_ = 0;       // the search for a mark has looked before here
  bool newline_before_ = true;     // the byte before the buffer's first is a newline
  std::size_t lines_before_ = 0;   // newlines before the buffer's first byte
  const char* counted_ = nullptr;  // newlines of this buffer are counted up to here
  std::size_t lines_counted_ = 0;
  std::size_t column_before_ = 0;  // bytes of the buffer's first line before it
  bool eof_ = false;
  bool over_limit_ = false;
  std::optional<std::string> read_error_;
};

}  // namespace tarnwick::reading
