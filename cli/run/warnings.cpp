#include "run/warnings.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <numeric>
#include <utility>

#include "environment/noise.hpp"
#include "stats/disturbance.hpp"
#include "stats/robust.hpp"
#include "util/text.hpp"

namespace tarnwick {

std::optional<Warning> load_warning(const HostFacts& host) {
  if (!host.load_average || !load_suggests_other_work(*host.load_average, host.cpus_available)) {
    return std::nullopt;
  }
  return Warning{"", "load",
                 fmt::format("the 1-minute load average was {:.2f} when the run started: other "
                             "work is running and may lower the result or make it unstable",
                             *host.load_average)};
}

namespace {

// "single run", or among repetitions "single run 2".
std::string run_name(const Session& session, const RunReport& run) {
  const bool repeated = std::any_of(session.runs.begin(), session.runs.end(),
                                    [](const RunReport& other) { return other.repetition > 1; });
  return repeated ? fmt::format("{} run {}", run.label, run.repetition) : run.label + " run";
}

// The mean of a figure over samples [first, last], where it was read.
template <typename T>
std::optional<double> mean_over(const RunReport& run, std::size_t first, std::size_t last,
                                std::optional<T> SecondNoise::*figure) {
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t index = first; index <= last && index < run.sample_noise.size(); ++index) {
    if (!run.sample_noise[index]) continue;
    if (const auto& value = (*run.sample_noise[index]).*figure) {
      sum += static_cast<double>(*value);
      ++count;
    }
  }
  if (count == 0) return std::nullopt;
  return sum / static_cast<double>(count);
}

// What the readings name as the cause of samples [first, last].
std::string causes(const RunReport& run, std::size_t first, std::size_t last) {
  std::vector<std::string> named;
  const auto steal = mean_over(run, first, last, &SecondNoise::steal_percent);
  const auto other = mean_over(run, first, last, &SecondNoise::other_cpus_run);
  if (steal && *steal >= STEAL_WORTH_NAMING) {
    named.push_back(fmt::format("the hypervisor took {:.0f} % (steal)", *steal));
  }
  if (other && *other >= OTHER_WORTH_NAMING) {
    named.push_back(fmt::format("other processes used {:.2f} of the run's CPUs", *other));
  }
  if (const auto throttled = mean_over(run, first, last, &SecondNoise::throttled_percent);
      throttled && *throttled >= 1.0) {
    named.push_back(
        fmt::format("its control group was throttled {:.0f} % of the time", *throttled));
  }
  double events = 0;
  for (std::size_t index = first; index <= last && index < run.sample_noise.size(); ++index) {
    if (run.sample_noise[index] && run.sample_noise[index]->thermal_events) {
      events += static_cast<double>(*run.sample_noise[index]->thermal_events);
    }
  }
  if (events > 0) named.push_back(fmt::format("{:.0f} thermal throttle events", events));
  return named.empty() ? std::string("competition") : listed(named);
}

// How the stretch's rate compares with the run's other seconds'.
std::string rate_change(const RunReport& run, std::size_t first, std::size_t last) {
  std::vector<double> inside, outside;
  const auto& samples = run.result.samples;
  for (std::size_t index = 0; index < samples.size(); ++index) {
    const bool in_stretch = index >= first && index <= last;
    const bool disturbed =
        std::binary_search(run.disturbed_samples.begin(), run.disturbed_samples.end(), index);
    if (in_stretch) {
      inside.push_back(samples[index].rate);
    } else if (!disturbed) {
      outside.push_back(samples[index].rate);
    }
  }
  if (inside.empty() || outside.empty()) return "";
  const double stretch =
      std::accumulate(inside.begin(), inside.end(), 0.0) / static_cast<double>(inside.size());
  const double quiet = median(std::move(outside));
  if (!(quiet > 0)) return "";
  const double change = (stretch - quiet) / quiet * 100.0;
  if (change <= -0.5) return fmt::format("; the rate fell {:.0f} %", -change);
  if (change >= 0.5) return fmt::format("; the rate rose {:.0f} %", change);
  return "; the rate did not move";
}

}  // namespace

std::vector<std::size_t> disturbed_samples(const RunReport& run, std::size_t run_cpus) {
  std::vector<std::size_t> disturbed;
  // Judged on the run's own CPUs; inside a container the seconds are still
  // shown, as the rule shows such runs.
  for (std::size_t index = 0; index < run.sample_noise.size(); ++index) {
    const auto& noise = run.sample_noise[index];
    if (noise && judge_disturbance(noise->other_cpus_run, noise->steal_percent,
                                   static_cast<double>(run_cpus),
                                   static_cast<double>(run.result.threads), false)
                     .shown()) {
      disturbed.push_back(index);
    }
  }
  return disturbed;
}

std::vector<Warning> noisy_seconds_warnings(const Session& session) {
  std::vector<Warning> warnings;
  for (const RunReport& run : session.runs) {
    const auto& marked = run.disturbed_samples;
    for (std::size_t begin = 0; begin < marked.size();) {
      std::size_t end = begin + 1;
      while (end < marked.size() && marked[end] == marked[end - 1] + 1) ++end;
      if (end - begin >= NOISY_STRETCH) {
        // Second n of the window is the sample that ends n seconds in.
        const std::size_t first = marked[begin];
        const std::size_t last = marked[end - 1];
        warnings.push_back(
            {run.id, "noisy_seconds",
             fmt::format("the {}, seconds {} to {}: {}{}", run_name(session, run), first + 1,
                         last + 1, causes(run, first, last), rate_change(run, first, last))});
      }
      begin = end;
    }
  }
  return warnings;
}

std::vector<Warning> stability_warnings(const Session& session) {
  std::vector<Warning> warnings;
  for (const RunReport& run : session.runs) {
    if (!run.result.unstable || !run.result.cv_percent) continue;
    // Among repetitions, say which one.
    const std::string name = run_name(session, run);
    warnings.push_back(
        {run.id, "unstable",
         fmt::format("the {} is unstable (CV {:.2f} % is above 10 %): {}; measure again on a "
                     "quieter machine or with a longer warm-up",
                     name, *run.result.cv_percent, explain_noise(run.noise))});
  }
  return warnings;
}

}  // namespace tarnwick
