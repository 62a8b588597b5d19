#include "document/run_id.hpp"

#include <fmt/format.h>
#include <sys/random.h>

#include <array>
#include <cstdint>
#include <ctime>
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

std::string utc_text(std::chrono::system_clock::time_point when, bool with_millis) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto since_epoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(since_epoch / 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  std::string text =
      fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  if (with_millis) text += fmt::format(".{:03}", since_epoch % 1000);
  return text + "Z";
}

}  // namespace tarnwick
