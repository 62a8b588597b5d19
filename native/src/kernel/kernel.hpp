#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace tarnwick {

inline constexpr std::size_t TABLE_LEN = 32768;  // every table index is 15 bits
inline constexpr std::size_t TEXT_LEN = 4096;
// 31 number-like characters and a line feed; indexed by the low 5 bits of a draw.
inline constexpr std::array<unsigned char, 32> ALPHABET = {
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5',
    '6', '7', '8', '9', ' ', '+', '-', '.', ',', 'e', 'E', ';', 'x', 'y', 'z', '\n'};

using Table = std::vector<std::uint64_t>;
using TableAllocation = Result<Table, std::string>;

// One generator draw: the returned product is both the value and the new state.
[[nodiscard]] constexpr std::uint64_t next_random(std::uint64_t s) noexcept {
  std::uint64_t x = s ^ (s >> 12);
  x ^= x << 25;
  x ^= x >> 27;
  return x * 0x2545f4914f6cdd1dULL;
}

// Reserves exactly TABLE_LEN words (an empty table with that capacity), or
// returns reasons::ALLOCATION_FAILED. Never throws and never terminates.
[[nodiscard]] TableAllocation allocate_table() noexcept;

// Scanner state after phase 2 of a step.
struct Scan {
  std::uint64_t a;
  unsigned q;  // 0 Start, 1 Integer, 2 Point, 3 Fraction
};

// The three phases of a step, exposed so their values can be checked alone.
[[nodiscard]] std::uint64_t mix(std::uint64_t a) noexcept;
[[nodiscard]] Scan scan(std::uint64_t a, std::span<const unsigned char> text) noexcept;
// Throws std::out_of_range when an index falls outside a short table.
[[nodiscard]] std::uint64_t walk(std::uint64_t a, Table& table);

struct Kernel {
  Table table;
  std::array<unsigned char, TEXT_LEN> text;
  std::uint64_t state;

  // Calls `allocation` exactly once; on failure returns its text unchanged,
  // having made no generator draw.
  template <class Allocation>
  [[nodiscard]] static Result<Kernel, std::string> new_with_allocator(std::uint64_t seed,
                                                                      Allocation&& allocation);

  // One unit of counted work. Allocates nothing, makes no system call.
  std::uint64_t step();
};

// Fills a reserved table and the text from the seed: 36,864 draws.
void seed_kernel(Kernel& kernel, std::uint64_t seed);

template <class Allocation>
Result<Kernel, std::string> Kernel::new_with_allocator(std::uint64_t seed,
                                                       Allocation&& allocation) {
  TableAllocation reserved = allocation();
  if (!reserved) return Result<Kernel, std::string>::err(std::move(reserved).error());
  Kernel kernel{std::move(reserved).value(), {}, 0};
  seed_kernel(kernel, seed);
  return Result<Kernel, std::string>::ok(std::move(kernel));
}

}  // namespace tarnwick
