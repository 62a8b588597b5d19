#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace tarnwick::reliability {

using Record = std::array<unsigned char, 32>;

// Seconds values at every edge of the conversion: signed zeros, subnormals,
// NaNs with and without payloads, infinities, the neighbours of 2^64, of
// half a nanosecond, of 2^-31 and of a whole second, and ordinary values.
[[nodiscard]] const std::vector<double>& boundary_seconds();

// An endless, reproducible mix of configuration records: purely random
// bytes, records assembled from boundary values field by field, and such
// records with a few bits or bytes mutated. An empty value stands for a null
// configuration pointer.
class RecordSource {
 public:
  explicit RecordSource(std::uint64_t seed) : rng_(seed) {}

  [[nodiscard]] std::optional<Record> next();

 private:
  [[nodiscard]] Record random_bytes();
  [[nodiscard]] Record assembled();
  void mutate(Record& record);
  [[nodiscard]] std::uint32_t pick_word(const std::vector<std::uint32_t>& usual,
                                        std::uint32_t valid);
  [[nodiscard]] double pick_seconds();
  [[nodiscard]] std::uint64_t below(std::uint64_t bound);

  std::mt19937_64 rng_;
};

}  // namespace tarnwick::reliability
