// Disturbed seconds and the warnings that name them, on runs whose
// per-second readings are planted.
#include "run/warnings.hpp"

#include <gtest/gtest.h>

#include "make_run.hpp"

namespace tarnwick {
namespace {

// A quiet reading: nothing but the run on its CPUs.
SecondNoise quiet() { return SecondNoise{0.2, 0.05, 0.05, 1.0, 0.0, 0u, 0u, std::nullopt}; }

// A run of `seconds` one-second samples at 1000 steps/s, quiet but where
// `plant` says otherwise; the disturbed seconds judged on `run_cpus` CPUs.
template <typename Plant>
RunReport planted_run(std::size_t seconds, std::size_t run_cpus, Plant plant,
                      const std::string& label = "single", uint32_t threads = 1) {
  RunReport run = completed_run(std::vector<double>(seconds, 1000.0), threads, label);
  run.sample_noise.assign(seconds, quiet());
  for (std::size_t index = 0; index < seconds; ++index) {
    plant(index, *run.sample_noise[index], run.result.samples[index].rate);
  }
  run.disturbed_samples = disturbed_samples(run, run_cpus);
  return run;
}

TEST(DisturbedSamples, StealOrOtherWorkBeyondTheFreeCpus) {
  struct Case {
    std::optional<double> steal, other_run;
    std::size_t run_cpus;
    uint32_t threads;
    bool disturbed;
  };
  for (const Case& c : {
           Case{4.9, 0.0, 1, 1, false},
           Case{5.1, 0.0, 1, 1, true},
           Case{0.0, 0.49, 1, 1, false},
           Case{0.0, 0.51, 1, 1, true},
           // One CPU left free: other work up to 1.5 CPUs is no competition.
           Case{0.0, 1.4, 2, 1, false},
           Case{0.0, 1.6, 2, 1, true},
           Case{0.0, 0.6, 2, 2, true},
           // Figures the machine did not give judge nothing.
           Case{std::nullopt, std::nullopt, 1, 1, false},
       }) {
    const RunReport run = planted_run(
        1, c.run_cpus,
        [&c](std::size_t, SecondNoise& noise, double&) {
          noise.steal_percent = c.steal;
          noise.other_cpus_run = c.other_run;
        },
        "single", c.threads);
    EXPECT_EQ(run.disturbed_samples.size(), c.disturbed ? 1u : 0u)
        << c.steal.value_or(-1) << " " << c.other_run.value_or(-1) << " " << c.run_cpus;
  }
}

TEST(NoisySecondsWarnings, NameTheSecondsTheCauseAndTheFall) {
  // Seconds 23 to 31 of 40 lose 14 % of the CPUs to the hypervisor and
  // run 12 % slower; seconds 35 and 36 are busy too, but only two.
  const RunReport run = planted_run(40, 2, [](std::size_t index, SecondNoise& noise, double& rate) {
    if (index >= 22 && index <= 30) {
      noise.steal_percent = 14.0;
      rate = 880.0;
    }
    if (index == 34 || index == 35) noise.other_cpus_run = 1.9;
  });
  EXPECT_EQ(run.disturbed_samples.size(), 11u);
  const Session session = session_of({run});
  const auto warnings = noisy_seconds_warnings(session);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].kind, "noisy_seconds");
  EXPECT_EQ(warnings[0].run_id, run.id);
  EXPECT_EQ(warnings[0].text,
            "the single run, seconds 23 to 31: the hypervisor took 14 % (steal); the rate fell "
            "12 %");
}

TEST(NoisySecondsWarnings, EveryCauseTheReadingsShowIsNamed) {
  RunReport first = planted_run(10, 1, [](std::size_t index, SecondNoise& noise, double& rate) {
    if (index < 3) {
      noise.other_cpus_run = 0.75;
      noise.throttled_percent = 20.0;
      noise.thermal_events = 2u;
      rate = 500.0;
    }
  });
  RunReport second = planted_run(
      5, 4,
      [](std::size_t index, SecondNoise& noise, double&) {
        if (index >= 1) noise.other_cpus_run = 3.0;
      },
      "all-cpus", 2);
  second.repetition = 2;
  const auto warnings = noisy_seconds_warnings(session_of({first, second}));
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].text,
            "the single run 1, seconds 1 to 3: other processes used 0.75 of the run's CPUs, its "
            "control group was throttled 20 % of the time and 6 thermal throttle events; the rate "
            "fell 50 %");
  // The rate held: said so; the stretch runs to the window's end.
  EXPECT_EQ(warnings[1].text,
            "the all-cpus run 2, seconds 2 to 5: other processes used 3.00 of the run's CPUs; the "
            "rate did not move");
}

TEST(NoisySecondsWarnings, QuietOrUnreadSecondsNameNothing) {
  RunReport unread = completed_run(std::vector<double>(8, 1000.0));
  unread.disturbed_samples = disturbed_samples(unread, 1);
  EXPECT_TRUE(unread.disturbed_samples.empty());
  const RunReport quiet_run = planted_run(8, 1, [](std::size_t, SecondNoise&, double&) {});
  EXPECT_TRUE(noisy_seconds_warnings(session_of({unread, quiet_run})).empty());
}

TEST(Warnings, NameUnstableRunsAndABusyMachine) {
  const Session session =
      session_of({completed_run({1000, 1010}), completed_run({800, 1200}, 2, "all-cpus"),
                  cancelled_run({500, 1500})});
  const auto warnings = stability_warnings(session);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("all-cpus run is unstable (CV 20.00 %"), std::string::npos)
      << warnings[0].text;
  EXPECT_EQ(warnings[0].run_id, session.runs[1].id);
  EXPECT_EQ(warnings[0].kind, "unstable");
  HostFacts host;
  host.cpus_available = 2;
  EXPECT_FALSE(load_warning(host).has_value());  // load unknown
  host.load_average = 0.99;
  EXPECT_FALSE(load_warning(host).has_value());
  host.load_average = 1.0;
  ASSERT_TRUE(load_warning(host).has_value());
  EXPECT_NE(load_warning(host)->text.find("average was 1.00 when the run started"),
            std::string::npos);
}

}  // namespace
}  // namespace tarnwick
