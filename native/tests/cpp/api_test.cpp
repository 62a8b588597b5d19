// The C++ interface against the real library: the records mapped field by
// field, exceptions from the host's callback, cancellation and misuse.
// Runs that are not cancelled use windows of about a second; the cancelled
// ones would take two minutes if the cancellation were lost.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <tarnwick.hpp>
#include <thread>
#include <type_traits>

namespace {

using namespace std::chrono_literals;

constexpr const char* DURATIONS_REASON = "durations must be finite: warmup >= 0, measurement > 0";

tarnwick::Config long_run() {
  tarnwick::Config config;
  config.warmup = 60s;
  config.measure = 60s;
  return config;
}

TEST(CppRecords, MapEveryFieldAndLeaveAbsentValuesEmpty) {
  // Distinct values in every field, so a field read from the wrong place
  // shows.
  const tarnwick_result_t completed{1, 0, 2, 3, 1234.5, 0.25, 1.5, 1.4, 7.5, 99, 0xabcdef, 2, 0, 1};
  tarnwick::Result r = tarnwick::detail::to_result(completed, "");
  EXPECT_EQ(r.abi_version, 1u);
  EXPECT_EQ(r.status, tarnwick::Status::completed);
  EXPECT_TRUE(r.all_cpus);
  EXPECT_EQ(r.threads, 3u);
  EXPECT_EQ(r.mean_rate, 1234.5);
  EXPECT_EQ(r.warmup.count(), 0.25);
  EXPECT_EQ(r.measure.count(), 1.5);
  EXPECT_EQ(r.measured.count(), 1.4);
  EXPECT_EQ(r.cv_percent, 7.5);
  EXPECT_EQ(r.operations, 99u);
  EXPECT_EQ(r.checksum, 0xabcdefu);
  EXPECT_FALSE(r.unstable);
  EXPECT_EQ(r.reason, "");

  // Absent values: the mean exists only when completed, the variation only
  // with has_cv, whatever the doubles in the record hold.
  const struct {
    uint32_t status, has_cv;
    bool mean, cv;
  } presence[] = {
      {0, 1, true, true}, {0, 0, true, false}, {1, 0, false, false}, {2, 0, false, false}};
  for (const auto& row : presence) {
    tarnwick_result_t record = completed;
    record.status = row.status;
    record.has_cv = row.has_cv;
    record.unstable = 1;
    r = tarnwick::detail::to_result(record, "why");
    EXPECT_EQ(r.mean_rate.has_value(), row.mean) << "status " << row.status;
    EXPECT_EQ(r.cv_percent.has_value(), row.cv) << "status " << row.status;
    EXPECT_TRUE(r.unstable);
    EXPECT_EQ(r.reason, "why");
  }

  const tarnwick::Progress p =
      tarnwick::detail::to_progress(tarnwick_progress_t{2, 4, 0.5, 0.75, 1.25, 77});
  EXPECT_EQ(p.phase, tarnwick::Phase::measurement);
  EXPECT_EQ(p.threads, 4u);
  EXPECT_EQ(p.progress, 0.5);
  EXPECT_EQ(p.phase_elapsed.count(), 0.75);
  EXPECT_EQ(p.phase_length.count(), 1.25);
  EXPECT_EQ(p.operations, 77u);

  const tarnwick::Sample s = tarnwick::detail::to_sample(tarnwick_sample_t{2.0, 0.5, 10, 20.0});
  EXPECT_EQ(s.time.count(), 2.0);
  EXPECT_EQ(s.duration.count(), 0.5);
  EXPECT_EQ(s.operations, 10u);
  EXPECT_EQ(s.rate, 20.0);

  // A default Config is the library's default record, byte for byte.
  tarnwick_config_t defaults;
  std::memset(&defaults, 0xff, sizeof defaults);
  ASSERT_EQ(tarnwick_default_config(&defaults), 1);
  const tarnwick_config_t mapped = tarnwick::detail::to_record(tarnwick::Config{});
  EXPECT_EQ(std::memcmp(&mapped, &defaults, sizeof defaults), 0);
}

TEST(CppRun, CompletesAndReportsWhatTheLibraryStored) {
  tarnwick::Config config;
  config.warmup = 50ms;
  config.measure = 1200ms;
  std::vector<tarnwick::Phase> phases;
  tarnwick::Benchmark bench;
  EXPECT_FALSE(bench.result().has_value());
  const tarnwick::Result r = bench.run(config, [&](const tarnwick::Progress& p) {
    if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
  });
  using tarnwick::Phase;
  EXPECT_EQ(phases, (std::vector<Phase>{Phase::warmup, Phase::measurement, Phase::completed}));
  ASSERT_EQ(r.status, tarnwick::Status::completed) << r.reason;
  EXPECT_EQ(r.reason, "");
  EXPECT_EQ(r.threads, 1u);
  EXPECT_EQ(r.warmup, config.warmup);
  EXPECT_EQ(r.measure, config.measure);
  ASSERT_TRUE(r.mean_rate && r.cv_percent);  // two samples: 1 s and 0.2 s
  ASSERT_EQ(r.samples.size(), 2u);
  EXPECT_EQ(r.samples.back().time, r.measured);
  EXPECT_EQ(r.samples[0].operations + r.samples[1].operations, r.operations);
  const std::optional<tarnwick::Result> stored = bench.result();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->checksum, r.checksum);
  EXPECT_EQ(stored->samples.size(), r.samples.size());
}

TEST(CppRun, DurationsReachTheLibraryUnjudged) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    tarnwick::Seconds warmup, measure;
  } rows[] = {{-1s, 1s}, {0s, tarnwick::Seconds(nan)}, {0s, 0s}, {std::chrono::hours::max(), 1s}};
  for (const auto& row : rows) {
    tarnwick::Config config;
    config.all_cpus = true;
    config.warmup = row.warmup;
    config.measure = row.measure;
    const tarnwick::Result r = tarnwick::run(config);
    EXPECT_EQ(r.status, tarnwick::Status::failed);
    EXPECT_EQ(r.reason, DURATIONS_REASON);
    EXPECT_TRUE(r.all_cpus);
    EXPECT_FALSE(r.mean_rate || r.cv_percent);
    EXPECT_EQ(r.warmup, row.warmup);  // echoed bit for bit
    EXPECT_EQ(std::isnan(r.measure.count()), std::isnan(row.measure.count()));
  }
}

// The record's interface version and the loaded library's are one type, so
// comparing them needs no cast.
static_assert(
    std::is_same_v<decltype(tarnwick::Result::abi_version), decltype(tarnwick::abi_version())>);

tarnwick::Config short_run() {
  tarnwick::Config config;
  config.warmup = 0s;
  config.measure = 50ms;
  return config;
}

TEST(CppCallback, EmptyCallablesMeanNoReports) {
  // Calling any of these would throw or crash; they mean "no callback", as a
  // null pointer does in C, and the run completes.
  using Function = std::function<void(const tarnwick::Progress&)>;
  const Function empty;
  void (*const null_pointer)(const tarnwick::Progress&) = nullptr;
  for (int form = 0; form < 4; ++form) {
    SCOPED_TRACE(form);
    tarnwick::Benchmark bench;
    tarnwick::Result r;
    switch (form) {
      case 0:
        r = bench.run(short_run(), empty);
        break;
      case 1:
        r = bench.run(short_run(), Function());
        break;
      case 2:
        r = bench.run(short_run(), null_pointer);
        break;
      default:
        r = tarnwick::run(short_run(), Function());
        break;
    }
    EXPECT_TRUE(r.status == tarnwick::Status::completed ||
                r.reason == "measurement window was too short to complete any work")
        << r.reason;
    EXPECT_NE(r.reason, "cancelled") << "an empty callable cancelled the run";
  }
  // A std::function that holds something is called.
  int calls = 0;
  const Function counting = [&calls](const tarnwick::Progress&) { ++calls; };
  static_cast<void>(tarnwick::run(short_run(), counting));
  EXPECT_GE(calls, 2);  // the first report and the final one
}

TEST(CppRun, MovingTheBenchmarkDuringTheRunKeepsTheResult) {
  tarnwick::Benchmark bench;
  std::optional<tarnwick::Benchmark> moved_to;
  const tarnwick::Result r = bench.run(short_run(), [&](const tarnwick::Progress&) {
    if (!moved_to) moved_to.emplace(std::move(bench));
  });
  ASSERT_TRUE(moved_to.has_value());
  EXPECT_NE(r.reason, "cancelled");
  EXPECT_EQ(r.abi_version, tarnwick::abi_version());
  // The object moved to holds the handle the run used, and its result.
  const std::optional<tarnwick::Result> stored = moved_to->result();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->checksum, r.checksum);
  EXPECT_EQ(stored->operations, r.operations);
  EXPECT_FALSE(bench.result().has_value());  // NOLINT: moved from on purpose
  EXPECT_THROW(static_cast<void>(moved_to->run()), std::logic_error);
}

struct HostError {
  int token;
};

TEST(CppCallback, ThrowingCallbackCancelsTheRunAndIsRethrown) {
  tarnwick::Benchmark bench;
  int calls = 0;
  const HostError* caught = nullptr;
  try {
    static_cast<void>(bench.run(long_run(), [&](const tarnwick::Progress&) {
      ++calls;
      throw HostError{42};
    }));
  } catch (const HostError& error) {
    caught = &error;
    EXPECT_EQ(error.token, 42);
  }
  EXPECT_NE(caught, nullptr) << "run() did not rethrow the callback's exception";
  EXPECT_EQ(calls, 1) << "the callable was called again after it threw";
  const std::optional<tarnwick::Result> r = bench.result();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status, tarnwick::Status::cancelled);
  EXPECT_EQ(r->reason, "cancelled");
  EXPECT_FALSE(r->mean_rate.has_value());
  // The host is alive and the library free for the next run.
  EXPECT_THROW(
      static_cast<void>(tarnwick::run(
          long_run(), [](const tarnwick::Progress&) { throw std::runtime_error("again"); })),
      std::runtime_error);
}

TEST(CppCancel, FromAnotherThreadFromTheCallbackAndBeforeTheRun) {
  for (const char* where : {"thread", "callback", "before"}) {
    SCOPED_TRACE(where);
    tarnwick::Benchmark bench;
    std::mutex mutex;
    std::condition_variable reported;
    bool running = false;
    std::thread canceller;
    if (std::strcmp(where, "thread") == 0) {
      canceller = std::thread([&] {
        std::unique_lock<std::mutex> lock(mutex);
        reported.wait(lock, [&] { return running; });
        bench.cancel();
      });
    }
    if (std::strcmp(where, "before") == 0) bench.cancel();
    const tarnwick::Result r = bench.run(long_run(), [&](const tarnwick::Progress& p) {
      if (std::strcmp(where, "callback") == 0 && p.phase == tarnwick::Phase::warmup) bench.cancel();
      const std::lock_guard<std::mutex> lock(mutex);
      running = true;
      reported.notify_all();
    });
    if (canceller.joinable()) canceller.join();
    EXPECT_EQ(r.status, tarnwick::Status::cancelled);
    EXPECT_EQ(r.reason,
              std::strcmp(where, "before") == 0 ? "cancelled before starting" : "cancelled");
  }
}

TEST(CppMisuse, SecondRunMovedFromAndAbiMismatchThrow) {
  tarnwick::Benchmark first;
  tarnwick::Benchmark bench(std::move(first));
  EXPECT_THROW(static_cast<void>(first.run()), std::logic_error);  // NOLINT: moved from on purpose
  first.cancel();  // harmless on a moved-from object
  EXPECT_FALSE(first.result().has_value());

  tarnwick::Config rejected;
  rejected.measure = 0s;
  EXPECT_EQ(bench.run(rejected).reason, DURATIONS_REASON);
  EXPECT_THROW(static_cast<void>(bench.run(tarnwick::Config{})), std::logic_error);
  EXPECT_THROW(static_cast<void>(bench.run(long_run(), [](const tarnwick::Progress&) {})),
               std::logic_error);
  EXPECT_EQ(bench.result()->reason, DURATIONS_REASON);  // the first attempt's, unchanged

  EXPECT_NO_THROW(tarnwick::detail::check_abi(TARNWICK_ABI_VERSION, TARNWICK_ABI_VERSION));
  try {
    tarnwick::detail::check_abi(2, 1);
    ADD_FAILURE() << "an interface version of 2 was accepted by a header of 1";
  } catch (const tarnwick::AbiMismatch& error) {
    EXPECT_EQ(error.loaded(), 2);
    EXPECT_EQ(error.expected(), 1);
    EXPECT_STREQ(error.what(),
                 "the tarnwick library has interface version 2, this program was built for "
                 "version 1");
  }
}

}  // namespace
