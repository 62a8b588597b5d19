// Facts about the machine that help judge a score: what CPU it is, how many
// CPUs the run could use, how the frequency is governed and whether other
// work was running. All of them are best effort: a fact the system does not
// expose is left empty, never guessed.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct HostFacts {
  std::optional<std::string> cpu_model;
  unsigned cpus_available = 0;
  // "library": the worker count of an all-CPUs run, which honours the
  // control-group quota; "affinity": the scheduler affinity mask only.
  std::string cpus_source = "affinity";
  std::optional<std::string> governor;
  std::optional<double> load_average;  // 1 minute, read before the first run
};

// The text without leading and trailing blanks and line ends.
[[nodiscard]] std::string_view trim(std::string_view text);

// The pieces of `text` between `separator`s, its lines by default; one at
// the end starts no empty piece.
[[nodiscard]] std::vector<std::string_view> split(std::string_view text, char separator = '\n');

// A whole number that is the whole text, blanks aside.
template <typename T>
[[nodiscard]] std::optional<T> whole_number(std::string_view text) {
  text = trim(text);
  T value{};
  const auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || next != text.data() + text.size()) return std::nullopt;
  return value;
}

// A whole /proc or /sys file, or nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> read_file(const std::string& path);

// The CPUs this process may run on, by index; empty when the mask cannot be
// read.
[[nodiscard]] std::vector<unsigned> allowed_cpus();

// The first "model name" of a /proc/cpuinfo text.
[[nodiscard]] std::optional<std::string> parse_cpu_model(std::string_view cpuinfo);

// The first field of a /proc/loadavg text.
[[nodiscard]] std::optional<double> parse_load_average(std::string_view loadavg);

// One governor, or the distinct ones joined by ',' when the CPUs differ;
// empty entries (CPUs without the file) are ignored.
[[nodiscard]] std::optional<std::string> combine_governors(std::vector<std::string> governors);

// Other work is judged to be running when the load average reaches half a
// CPU per CPU available: the run then likely shares its CPUs with it.
[[nodiscard]] bool load_suggests_other_work(double load_average, unsigned cpus_available);

// Reads the facts from /proc and /sys; cpus_available from the affinity mask.
[[nodiscard]] HostFacts read_host_facts();

}  // namespace tarnwick
