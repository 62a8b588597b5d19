#include "document/run_id.hpp"

#include <fmt/format.h>
#include <sys/random.h>

#include <array>
#include <cstdint>
#include <random>

namespace tarnwick {

std::string new_run_id() {
  std::array<unsigned char, 16> bytes{};
  // getrandom only falls short before the pool is seeded or on a signal;
  // the library's generator then fills what is missing.
  const ssize_t got = getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK);
  if (got != static_cast<ssize_t>(bytes.size())) {
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
  }
  std::string id;
  for (const unsigned char byte : bytes) id += fmt::format("{:02x}", byte);
  return id;
}

}  // namespace tarnwick
