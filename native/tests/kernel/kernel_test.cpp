#include "kernel.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_probe.hpp"
#include "reasons.hpp"

namespace tarnwick {
namespace {

using testing::AllocationProbe;

Kernel make_kernel(std::uint64_t seed) {
  return Kernel::new_with_allocator(seed, allocate_table).value();
}

std::vector<unsigned char> bytes(std::string_view s) { return {s.begin(), s.end()}; }

// One transition read off the recogniser's rules, independent of the
// scanner's layout, to compare against it on bytes the vectors never reach.
Scan reference_transition(std::uint64_t a, unsigned char c) {
  const unsigned q = static_cast<unsigned>(a & 3);
  if (c >= '0' && c <= '9') return {10 * a + (c - 48u), q == 2 ? 3u : 1u};
  if (c == '\n' || c == ' ' || c == ';') return {a ^ (a >> 11), 0};
  if ((c == '+' || c == '-') && q == 0) return {a ^ c, 1};
  if ((c == ',' || c == '.') && q == 1) return {std::rotl(a, 7), 2};
  if ((c == 'E' || c == 'e') && (q == 1 || q == 3)) return {a + 97, 0};
  return {std::rotl(a, 61) ^ c, 0};
}

struct SeedVector {
  std::uint64_t seed;
  std::uint64_t first_entry;
  std::uint64_t state;
  std::array<std::uint64_t, 3> steps;
};

constexpr std::array<SeedVector, 2> SEED_VECTORS = {{
    {0,
     0x0d83b3e29a21487aULL,
     0x2152e16fd35a4ae8ULL,
     {0x2c1b8d85cdd1e98dULL, 0x3e9e98d168107827ULL, 0x1748394bd1000b56ULL}},
    {1,
     0x102aceb9af8e2597ULL,
     0x29754429088a5a7fULL,
     {0xfcf7653045054d5eULL, 0x397eb24bfa0bb660ULL, 0x7564fde9aad28c50ULL}},
}};

TEST(KernelSeeding, MatchesKnownTablesAndStates) {
  for (const SeedVector& v : SEED_VECTORS) {
    SCOPED_TRACE(v.seed);
    const Kernel kernel = make_kernel(v.seed);
    ASSERT_EQ(kernel.table.size(), TABLE_LEN);
    // Filling the reserved capacity exactly means the table never moved.
    EXPECT_EQ(kernel.table.capacity(), TABLE_LEN);
    EXPECT_EQ(kernel.table[0], v.first_entry);
    EXPECT_EQ(kernel.state, v.state);
  }
}

TEST(KernelSeeding, SeedZeroTableEndsAndTextStart) {
  const Kernel kernel = make_kernel(0);
  EXPECT_EQ(kernel.table[1], 0x6bf22468cc7011ddULL);
  EXPECT_EQ(kernel.table[2], 0xb02fc9d94b6bba92ULL);
  EXPECT_EQ(kernel.table[3], 0x3b1d1ca45e578555ULL);
  EXPECT_EQ(kernel.table[TABLE_LEN - 1], 0x3859cf78698e1dc7ULL);
  const std::string head(kernel.text.begin(), kernel.text.begin() + 16);
  EXPECT_EQ(head, "25z4180y22e7y+1e");
}

TEST(KernelSeeding, SameSeedBuildsEqualKernels) {
  const Kernel a = make_kernel(7);
  const Kernel b = make_kernel(7);
  EXPECT_EQ(a.table, b.table);
  EXPECT_EQ(a.text, b.text);
  EXPECT_EQ(a.state, b.state);
}

TEST(KernelSeeding, EveryTextByteIsFromTheAlphabet) {
  const std::set<unsigned char> alphabet(ALPHABET.begin(), ALPHABET.end());
  for (const std::uint64_t seed : {0ULL, 1ULL, 2ULL, 0xffffffffffffffffULL}) {
    const Kernel kernel = make_kernel(seed);
    std::set<unsigned char> used;
    for (const unsigned char c : kernel.text) {
      ASSERT_TRUE(alphabet.contains(c)) << "seed " << seed << " byte " << int{c};
      used.insert(c);
    }
    // A draw that lost its low bits would leave most characters unused.
    EXPECT_EQ(used, alphabet) << "seed " << seed;
  }
}

TEST(KernelAllocation, FailureReturnsTheTextUnchangedAfterOneCall) {
  int calls = 0;
  const auto result = Kernel::new_with_allocator(3, [&calls] {
    ++calls;
    return TableAllocation::err("no room for the table");
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "no room for the table");
  EXPECT_EQ(calls, 1);
}

TEST(KernelAllocation, TableIsEmptyWithExactCapacity) {
  const TableAllocation table = allocate_table();
  ASSERT_TRUE(table);
  EXPECT_TRUE(table.value().empty());
  EXPECT_EQ(table.value().capacity(), TABLE_LEN);
}

TEST(KernelAllocation, AllocatorFailureBecomesAnErrorValue) {
  AllocationProbe::fail_from(TABLE_LEN * sizeof(std::uint64_t));
  const TableAllocation table = allocate_table();
  const auto kernel = Kernel::new_with_allocator(0, allocate_table);
  AllocationProbe::fail_none();
  ASSERT_FALSE(table);
  EXPECT_EQ(table.error(), reasons::ALLOCATION_FAILED);
  ASSERT_FALSE(kernel);
  EXPECT_EQ(kernel.error(), table.error());
}

TEST(KernelStep, MatchesKnownResults) {
  for (const SeedVector& v : SEED_VECTORS) {
    SCOPED_TRACE(v.seed);
    Kernel kernel = make_kernel(v.seed);
    for (const std::uint64_t expected : v.steps) {
      EXPECT_EQ(kernel.step(), expected);
      EXPECT_EQ(kernel.state, expected);
    }
  }
}

TEST(KernelStep, PhasesOfSeedZeroFirstStep) {
  Kernel kernel = make_kernel(0);
  const std::uint64_t mixed = mix(kernel.state);
  EXPECT_EQ(mixed, 0x6ae1ad5f105b37eeULL);
  const Scan scanned = scan(mixed, kernel.text);
  EXPECT_EQ(scanned.a, 0x476be0210f507b8eULL);
  EXPECT_EQ(scanned.q, 1u);
  EXPECT_EQ(walk(scanned.a, kernel.table), 0x2c1b8d85cdd1e98cULL);
}

TEST(KernelStep, LeavesTextAndTableLengthAndAllocatesNothing) {
  Kernel kernel = make_kernel(0);
  const auto text = kernel.text;
  const Table before = kernel.table;
  AllocationProbe::reset();
  for (int i = 0; i < 50; ++i) (void)kernel.step();
  const std::size_t allocations = AllocationProbe::count();
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(kernel.text, text);
  EXPECT_EQ(kernel.table.size(), TABLE_LEN);
  // The walk writes back in place: some entries must have changed.
  EXPECT_NE(kernel.table, before);
}

TEST(KernelStep, ShortTableFaultsInsteadOfReadingPastIt) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
    SCOPED_TRACE(length);
    Kernel kernel = make_kernel(0);
    kernel.table.resize(length);
    const std::uint64_t state = kernel.state;
    EXPECT_THROW((void)kernel.step(), std::out_of_range);
    EXPECT_EQ(kernel.state, state);
    EXPECT_EQ(kernel.table.size(), length);
  }
}

struct ScanCase {
  std::uint64_t a;
  std::string_view text;
  std::uint64_t expected_a;
  unsigned expected_q;
};

TEST(Scan, HandCheckedTokens) {
  const std::array<ScanCase, 9> cases = {{
      {0, "+", 43, 1},
      {0, "+1", 431, 1},
      {0, "+12", 4312, 1},
      {0, "+12.", 551936, 2},
      {0, "+12.5", 5519365, 3},
      {0, "+12.5e", 5519462, 0},
      {0, "1.23", 12823, 1},
      {4, "1.23 ", 525079, 0},
      {2, "", 2, 2},
  }};
  for (const ScanCase& c : cases) {
    const auto text = bytes(c.text);
    const Scan s = scan(c.a, text);
    EXPECT_EQ(s.a, c.expected_a) << c.a << " '" << c.text << "'";
    EXPECT_EQ(s.q, c.expected_q) << c.a << " '" << c.text << "'";
  }
}

TEST(Scan, EveryByteFromEveryStateFollowsTheRules) {
  std::array<unsigned char, 1> one{};
  for (const std::uint64_t base : {0ULL, 0x8000000000000000ULL, 0x0123456789abcdefULL}) {
    for (std::uint64_t q = 0; q < 4; ++q) {
      const std::uint64_t a = (base & ~3ULL) | q;
      for (unsigned c = 0; c < 256; ++c) {
        one[0] = static_cast<unsigned char>(c);
        const Scan got = scan(a, one);
        const Scan want = reference_transition(a, one[0]);
        ASSERT_EQ(got.a, want.a) << "a " << a << " byte " << c;
        ASSERT_EQ(got.q, want.q) << "a " << a << " byte " << c;
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
