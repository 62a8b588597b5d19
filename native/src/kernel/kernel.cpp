#include "kernel.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "reasons.hpp"

namespace tarnwick {

namespace {

constexpr std::uint64_t SEED_MIX = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t MIX_ADD = 0xa0761d6478bd642fULL;
constexpr std::uint64_t MIX_MUL = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t WALK_XOR = 0x8ebc6af09c88c6e3ULL;
constexpr std::uint64_t INDEX_MASK = 0x7fff;
static_assert(TABLE_LEN == INDEX_MASK + 1, "a full table holds every index");
constexpr unsigned MIX_ROUNDS = 256;
constexpr std::uint64_t WALK_ACCESSES = 1024;

enum class ByteClass : unsigned char { DIGIT, SEPARATOR, SIGN, MARK, EXPONENT, OTHER };

constexpr std::array<ByteClass, 256> CLASSES = [] {
  std::array<ByteClass, 256> classes{};
  classes.fill(ByteClass::OTHER);
  const auto assign = [&classes](std::string_view bytes, ByteClass k) {
    for (const char c : bytes) classes[static_cast<unsigned char>(c)] = k;
  };
  assign("0123456789", ByteClass::DIGIT);
  assign("\n ;", ByteClass::SEPARATOR);
  assign("+-", ByteClass::SIGN);
  assign(",.", ByteClass::MARK);
  assign("Ee", ByteClass::EXPONENT);
  return classes;
}();

constexpr std::uint64_t digit(std::uint64_t a, unsigned char c) noexcept {
  return 10 * a + (std::uint64_t{c} - '0');
}
constexpr std::uint64_t separate(std::uint64_t a) noexcept { return a ^ (a >> 11); }
// Any byte that no token accepts here; it also ends the token.
constexpr std::uint64_t fallback(std::uint64_t a, unsigned char c) noexcept {
  return std::rotl(a, 61) ^ c;
}

// Out of line so the walk's loop stays small.
[[noreturn, gnu::cold, gnu::noinline]] void index_fault(std::size_t index, std::size_t length) {
  throw std::out_of_range("table index " + std::to_string(index) +
                          " is out of range for a table of " + std::to_string(length) + " entries");
}

}  // namespace

TableAllocation allocate_table() noexcept {
  try {
    Table table;
    table.reserve(TABLE_LEN);
    return TableAllocation::ok(std::move(table));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // Building the short text may itself fail only when memory is exhausted,
  // which ends the process like every other exhaustion does.
  return TableAllocation::err(std::string(reasons::ALLOCATION_FAILED));
}

void seed_kernel(Kernel& kernel, std::uint64_t seed) {
  std::uint64_t s = seed ^ SEED_MIX;
  // An allocation hands over an empty table; clearing keeps the length exact
  // even if it did not, and keeps the reserved capacity.
  kernel.table.clear();
  for (std::size_t i = 0; i < TABLE_LEN; ++i) {
    s = next_random(s);
    kernel.table.push_back(s);
  }
  for (unsigned char& c : kernel.text) {
    s = next_random(s);
    c = ALPHABET[s & 31];
  }
  kernel.state = s;
}

std::uint64_t mix(std::uint64_t a) noexcept {
  for (unsigned r = 0; r < MIX_ROUNDS; ++r) {
    a += r ^ MIX_ADD;
    a = (std::rotl(a, 17) ^ a) * MIX_MUL;
    a ^= a >> 29;
  }
  return a;
}

Scan scan(std::uint64_t a, std::span<const unsigned char> text) noexcept {
  // The recogniser's state lives in the program counter: each state has its
  // own block, so a byte costs one class lookup and the branches that the
  // class and state imply, with no state variable on the critical path.
  const unsigned char* p = text.data();
  const unsigned char* const end = p + text.size();
  unsigned char c = 0;
  ByteClass k = ByteClass::OTHER;
  const auto next = [&] {
    c = *p++;
    k = CLASSES[c];
  };
  switch (a & 3) {
    case 0:
      goto start;
    case 1:
      goto integer;
    case 2:
      goto point;
    default:
      goto fraction;
  }

start:
  if (p == end) return {a, 0};
  next();
  if (k == ByteClass::DIGIT) {
    a = digit(a, c);
    goto integer;
  }
  if (k == ByteClass::SEPARATOR) {
    a = separate(a);
    goto start;
  }
  if (k == ByteClass::SIGN) {
    a ^= c;
    goto integer;
  }
  a = fallback(a, c);
  goto start;

integer:
  if (p == end) return {a, 1};
  next();
  if (k == ByteClass::DIGIT) {
    a = digit(a, c);
    goto integer;
  }
  if (k == ByteClass::SEPARATOR) {
    a = separate(a);
    goto start;
  }
  if (k == ByteClass::MARK) {
    a = std::rotl(a, 7);
    goto point;
  }
  if (k == ByteClass::EXPONENT) {
    a += 97;
    goto start;
  }
  a = fallback(a, c);
  goto start;

point:
  if (p == end) return {a, 2};
  next();
  if (k == ByteClass::DIGIT) {
    a = digit(a, c);
    goto fraction;
  }
  if (k == ByteClass::SEPARATOR) {
    a = separate(a);
    goto start;
  }
  a = fallback(a, c);
  goto start;

fraction:
  if (p == end) return {a, 3};
  next();
  if (k == ByteClass::DIGIT) {
    // Not back to the fraction: a second fractional digit reads as integer.
    a = digit(a, c);
    goto integer;
  }
  if (k == ByteClass::SEPARATOR) {
    a = separate(a);
    goto start;
  }
  if (k == ByteClass::EXPONENT) {
    a += 97;
    goto start;
  }
  a = fallback(a, c);
  goto start;
}

std::uint64_t walk(std::uint64_t a, Table& table) {
  std::uint64_t* const data = table.data();
  const std::size_t length = table.size();
  std::uint64_t x = a;
  for (std::uint64_t j = 0; j < WALK_ACCESSES; ++j) {
    const std::size_t i = x & INDEX_MASK;
    // Never taken with a full table; kept so that a short one faults
    // instead of reading past its end.
    if (i >= length) [[unlikely]]
      index_fault(i, length);
    const std::uint64_t v = data[i];
    a = std::rotl(a + v, 13) ^ j;
    data[i] = (a ^ WALK_XOR) + v;
    x = v ^ a;
  }
  return a;
}

std::uint64_t Kernel::step() {
  const Scan scanned = scan(mix(state), text);
  state = walk(scanned.a, table) ^ scanned.q;
  return state;
}

}  // namespace tarnwick
