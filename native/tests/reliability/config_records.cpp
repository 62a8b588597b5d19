#include "config_records.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "config_oracle.hpp"

namespace tarnwick::reliability {
namespace {

using Limits = std::numeric_limits<double>;

double up(double x) { return std::nextafter(x, Limits::infinity()); }
double down(double x) { return std::nextafter(x, -Limits::infinity()); }

std::vector<double> make_boundary_seconds() {
  const double half_nano = 5e-10;
  const double two_to_minus_31 = std::ldexp(1.0, -31);
  std::vector<double> values = {
      0.0, -0.0, 1.0, 60.0, 120.0, 0.002, 0.5, 1e-9, 1e-10, 1.5e-9, 2.5e-9,
      // Exactly 976,562.5 ns: the one kind of tie a binary fraction can hold.
      1.0 / 1024.0, 3.0 / 1024.0, half_nano, up(half_nano), down(half_nano), two_to_minus_31,
      up(two_to_minus_31), down(two_to_minus_31), std::ldexp(1.0, -30), std::ldexp(1.0, -75),
      // Fractions that round up into the next whole second.
      down(1.0), 0.9999999996, 0.9999999994, up(1.0), 1.0 - 5e-10, Limits::denorm_min(),
      -Limits::denorm_min(), down(Limits::min()), Limits::min(), -Limits::min(),
      std::ldexp(1.0, 52), std::ldexp(1.0, 53) + 2.0, std::ldexp(1.0, 63), down(TWO_TO_64),
      TWO_TO_64, up(TWO_TO_64), 1e19, 1e20, Limits::max(), -Limits::max(), Limits::infinity(),
      -Limits::infinity(), -1.0, -1e-300, -half_nano, Limits::quiet_NaN(), -Limits::quiet_NaN(),
      double_of(0x7ff0000000000001ULL), double_of(0xfff0000000000001ULL),
      double_of(0x7ff8deadbeef0001ULL), double_of(0x7fffffffffffffffULL)};
  return values;
}

}  // namespace

const std::vector<double>& boundary_seconds() {
  static const std::vector<double> values = make_boundary_seconds();
  return values;
}

std::uint64_t RecordSource::below(std::uint64_t bound) {
  return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(rng_);
}

std::optional<Record> RecordSource::next() {
  const std::uint64_t roll = below(1000);
  if (roll == 0) return std::nullopt;
  if (roll < 150) return random_bytes();
  Record record = assembled();
  if (roll >= 850) mutate(record);
  return record;
}

Record RecordSource::random_bytes() {
  Record record{};
  for (std::size_t i = 0; i < record.size(); i += 8) {
    const std::uint64_t word = rng_();
    std::memcpy(record.data() + i, &word, 8);
  }
  return record;
}

std::uint32_t RecordSource::pick_word(const std::vector<std::uint32_t>& usual,
                                      std::uint32_t valid) {
  const std::uint64_t roll = below(100);
  if (roll < 90) return valid;
  if (roll < 98) return usual[below(usual.size())];
  return static_cast<std::uint32_t>(rng_());
}

double RecordSource::pick_seconds() {
  const std::uint64_t roll = below(100);
  const std::vector<double>& edges = boundary_seconds();
  if (roll < 55) return edges[below(edges.size())];
  if (roll < 65) return double_of(rng_());
  // Positive values spread over every magnitude the conversion can meet.
  const double unit = std::uniform_real_distribution<double>(0.5, 1.0)(rng_);
  const int exponent = static_cast<int>(below(160)) - 90;
  const double value = std::ldexp(unit, exponent);
  return roll < 97 ? value : -value;
}

Record RecordSource::assembled() {
  static const std::vector<std::uint32_t> abis = {0, 2, 0xffffffffu, 0x100, 0x01000000u};
  static const std::vector<std::uint32_t> sizes = {0, 24, 31, 33, 40, 64, 0x20000000u};
  static const std::vector<std::uint32_t> benchmarks = {
      0, 3, 0xffffffffu, 0x101, 0x201, 0x80000001u, 0x01000000u, 0x02000000u};
  static const std::vector<std::uint32_t> reserveds = {1, 0x80000000u, 0xffffffffu, 0x100};
  // The two kinds are equally likely; every other value comes from the pools.
  const std::uint32_t kind = below(2) == 0 ? 1 : 2;
  const std::uint32_t words[4] = {pick_word(abis, 1), pick_word(sizes, 32),
                                  pick_word(benchmarks, kind), pick_word(reserveds, 0)};
  const double durations[2] = {pick_seconds(), pick_seconds()};
  Record record{};
  std::memcpy(record.data(), words, sizeof words);
  std::memcpy(record.data() + 16, durations, sizeof durations);
  return record;
}

void RecordSource::mutate(Record& record) {
  const std::uint64_t edits = 1 + below(4);
  for (std::uint64_t i = 0; i < edits; ++i) {
    const std::size_t at = below(record.size());
    if (below(2) == 0) {
      record[at] = static_cast<unsigned char>(record[at] ^ (1u << below(8)));
    } else {
      record[at] = static_cast<unsigned char>(rng_());
    }
  }
}

}  // namespace tarnwick::reliability
