#include "document/run_id.hpp"

#include <fmt/format.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
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
  return fmt::format("{:02x}", fmt::join(bytes, ""));
}

bool is_run_id(std::string_view id) {
  return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool is_stored_run_id(std::string_view id) {
  if (!id.empty() && id.front() == 'h') id.remove_prefix(1);
  return is_run_id(id);
}

bool is_plain_id(std::string_view id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
  });
}

}  // namespace tarnwick
