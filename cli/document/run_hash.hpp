// The ids of 0.0.2 runs, which carry none: a hash of the run's checked keys
// and values, each number in the one text the history writes back.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::reading {

// 128-bit FNV-1a: enough bits that two different runs never share an id.
class ContentHash {
 public:
  void add(char tag, std::string_view bytes) {
    step(static_cast<unsigned char>(tag));
    for (const char byte : bytes) step(static_cast<unsigned char>(byte));
    step(0);
  }
  // 32 lower-case hex digits.
  [[nodiscard]] std::string hex() const;

 private:
  __extension__ using u128 = unsigned __int128;
  static constexpr u128 PRIME = (u128{1} << 88) + 0x13b;
  void step(unsigned char byte) {
    state_ ^= byte;
    state_ *= PRIME;
  }
  u128 state_ = (u128{0x6c62272e07bb0142ULL} << 64) | 0x62b821756295c58dULL;
};

// How a JSON number arrived: its kind decides how it is read.
enum class NumberKind : unsigned char { Signed, Unsigned, Float };

// A number in its one text as the history writes it back, which is what the
// id of a 0.0.2 run hashes (the previous release did the same, so the ids
// stored then still match): an integer as its decimal value, any other
// number as the shortest text that reads back as the same double, with a
// fraction or exponent (5e-2 and 0.050 as 0.05, 2e0 as 2.0, -0e0 as -0.0).
// An integer and a fraction stay apart: the history keeps each as written.
// None for a number the history could not write back as read: an integer
// beyond 64 bits (it would come back a rounded double) or a fraction out of
// a double's range.
[[nodiscard]] std::optional<std::string> canonical_number(NumberKind kind, std::string_view text);

}  // namespace tarnwick::reading
