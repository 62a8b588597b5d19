// tarnwick for C++ hosts: the C interface of tarnwick.h behind owning types,
// std::chrono durations, optional values and any callable as the progress
// callback.
//
// Header-only and C++17: it adds no symbol to the shared library and no
// dependency to the packages; hosts link tarnwick::tarnwick (CMake) or
// `pkg-config --libs tarnwick` exactly as C hosts do.
//
//   tarnwick::Config config;                   // the library's defaults
//   config.all_cpus = true;
//   config.warmup = std::chrono::seconds(5);   // any std::chrono duration
//   config.measure = std::chrono::seconds(10);
//   tarnwick::Benchmark bench;                 // owns one handle; move-only
//   tarnwick::Result r = bench.run(config, [&](const tarnwick::Progress& p) { ... });
//
// Errors: a run that fails or is cancelled is a Result, never an exception
// (its reason is the library's). Exceptions are for misuse and for the
// host's own code: a Benchmark run twice (std::logic_error), a library of
// another interface version (tarnwick::AbiMismatch), no handle to be had
// (std::runtime_error), and whatever the host's callback throws, which is
// rethrown from run() once the library has returned.
#ifndef TARNWICK_HPP
#define TARNWICK_HPP

#include <tarnwick.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick {

/*-*************************************
 *  Values
 ***************************************/
// Seconds as the library counts them; every std::chrono duration converts
// to it implicitly.
using Seconds = std::chrono::duration<double>;

// How a run attempt ended.
enum class Status : std::uint32_t {
  completed = TARNWICK_STATUS_COMPLETED,
  cancelled = TARNWICK_STATUS_CANCELLED,
  failed = TARNWICK_STATUS_FAILED,
};

// Where a run is; the last report of a run carries one of the last three.
enum class Phase : std::uint32_t {
  warmup = TARNWICK_PHASE_WARMUP,
  measurement = TARNWICK_PHASE_MEASUREMENT,
  completed = TARNWICK_PHASE_COMPLETED,
  cancelled = TARNWICK_PHASE_CANCELLED,
  failed = TARNWICK_PHASE_FAILED,
};

// Names for display: views of string literals, so data() is NUL-terminated.
// "completed", "cancelled", "failed"; "unknown" for a value the library
// never reports.
[[nodiscard]] constexpr std::string_view name(Status status) noexcept {
  switch (status) {
    case Status::completed:
      return "completed";
    case Status::cancelled:
      return "cancelled";
    case Status::failed:
      return "failed";
  }
  return "unknown";
}

// "warm-up", "measurement", "completed", "cancelled", "failed".
[[nodiscard]] constexpr std::string_view name(Phase phase) noexcept {
  switch (phase) {
    case Phase::warmup:
      return "warm-up";
    case Phase::measurement:
      return "measurement";
    case Phase::completed:
      return "completed";
    case Phase::cancelled:
      return "cancelled";
    case Phase::failed:
      return "failed";
  }
  return "unknown";
}

// The library's version text ("0.0.2", NUL-terminated, static) and
// interface version, as loaded.
[[nodiscard]] inline std::string_view version() noexcept { return tarnwick_version(); }
[[nodiscard]] inline std::int32_t abi_version() noexcept { return tarnwick_abi_version(); }

namespace detail {
// The library's default record, read once: Config's defaults are the
// library's, never numbers written down a second time.
[[nodiscard]] inline const tarnwick_config_t& default_config() noexcept {
  static const tarnwick_config_t defaults = [] {
    tarnwick_config_t record{};
    tarnwick_default_config(&record);
    return record;
  }();
  return defaults;
}
}  // namespace detail

// What to run. A default Config is the library's default configuration
// (one worker, 120 s warm-up, 60 s window). The durations are handed to the
// library as they are: a negative, zero-length or non-finite one comes back
// as a failed Result with the library's reason, not as an exception.
struct Config {
  bool all_cpus = detail::default_config().benchmark == TARNWICK_BENCHMARK_ALL_CPUS;
  Seconds warmup = Seconds(detail::default_config().warmup_seconds);
  Seconds measure = Seconds(detail::default_config().measure_seconds);
};

// One progress report; the callback gets it by reference, valid for the
// call only.
struct Progress {
  Phase phase = Phase::warmup;
  std::uint32_t threads = 0;     // workers
  double progress = 0.0;         // fraction of warm-up plus window elapsed, 0 to 1
  Seconds phase_elapsed{};       // in the phase; final report: the measured length
  Seconds phase_length{};        // of the phase; final report: the window's length
  std::uint64_t operations = 0;  // steps in the phase; final report: the run's steps
};

// One interval of the measured window; intervals are contiguous from 0.
struct Sample {
  Seconds time{};                // end of the interval, after the end of the warm-up
  Seconds duration{};            // length of the interval, > 0
  std::uint64_t operations = 0;  // steps in the interval, all workers
  double rate = 0.0;             // operations / duration, steps/s
};

// A finished run attempt: the library's result record, its reason and its
// samples.
struct Result {
  Status status = Status::failed;
  std::string reason;                // empty when completed, else the library's words
  bool all_cpus = false;             // the attempt's benchmark kind
  std::uint32_t threads = 0;         // workers; 0 when the attempt ended before that
  std::optional<double> mean_rate;   // steps/s; present exactly when completed
  std::optional<double> cv_percent;  // present when completed with two samples or more
  bool unstable = false;             // cv_percent above 10 %
  Seconds warmup{};                  // the configured warm-up, bit for bit
  Seconds measure{};                 // the configured window, bit for bit
  Seconds measured{};                // the window actually measured
  std::uint64_t operations = 0;      // steps in the measured window, all workers
  std::uint64_t checksum = 0;        // exclusive-or of the workers' last kernel values
  std::vector<Sample> samples;
  std::int32_t abi_version = 0;  // of the record, as the library wrote it; as abi_version()
};

// Thrown by Benchmark's constructor when the loaded library speaks another
// interface version than the header the host was compiled with.
class AbiMismatch : public std::runtime_error {
 public:
  AbiMismatch(std::int32_t loaded, std::int32_t expected)
      : std::runtime_error("the tarnwick library has interface version " + std::to_string(loaded) +
                           ", this program was built for version " + std::to_string(expected)),
        loaded_(loaded),
        expected_(expected) {}
  [[nodiscard]] std::int32_t loaded() const noexcept { return loaded_; }
  [[nodiscard]] std::int32_t expected() const noexcept { return expected_; }

 private:
  std::int32_t loaded_;
  std::int32_t expected_;
};

/*-*************************************
 *  Internals: the C records both ways
 ***************************************/
namespace detail {

inline void check_abi(std::int32_t loaded, std::int32_t expected) {
  if (loaded != expected) throw AbiMismatch(loaded, expected);
}

[[nodiscard]] inline tarnwick_config_t to_record(const Config& config) noexcept {
  tarnwick_config_t record = default_config();
  // The header's view of the record, which the library checks.
  record.abi_version = TARNWICK_ABI_VERSION;
  record.size = static_cast<std::uint32_t>(sizeof(tarnwick_config_t));
  record.benchmark = config.all_cpus ? TARNWICK_BENCHMARK_ALL_CPUS : TARNWICK_BENCHMARK_SINGLE;
  record.warmup_seconds = config.warmup.count();
  record.measure_seconds = config.measure.count();
  return record;
}

[[nodiscard]] inline Progress to_progress(const tarnwick_progress_t& record) noexcept {
  Progress progress;
  progress.phase = static_cast<Phase>(record.phase);
  progress.threads = record.threads;
  progress.progress = record.progress;
  progress.phase_elapsed = Seconds(record.phase_elapsed);
  progress.phase_length = Seconds(record.phase_seconds);
  progress.operations = record.operations;
  return progress;
}

[[nodiscard]] inline Sample to_sample(const tarnwick_sample_t& record) noexcept {
  return Sample{Seconds(record.time), Seconds(record.duration), record.operations, record.rate};
}

// Everything but the samples, which are read one by one.
[[nodiscard]] inline Result to_result(const tarnwick_result_t& record, const char* reason) {
  Result result;
  result.status = static_cast<Status>(record.status);
  if (reason != nullptr) result.reason = reason;
  result.all_cpus = record.benchmark == TARNWICK_BENCHMARK_ALL_CPUS;
  result.threads = record.threads;
  // The record has no flag for the mean: it exists exactly when completed.
  if (record.status == TARNWICK_STATUS_COMPLETED) result.mean_rate = record.mean_rate;
  if (record.has_cv != 0) result.cv_percent = record.cv_percent;
  result.unstable = record.unstable != 0;
  result.warmup = Seconds(record.warmup_seconds);
  result.measure = Seconds(record.measure_seconds);
  result.measured = Seconds(record.measured_seconds);
  result.operations = record.operations;
  result.checksum = record.checksum;
  result.abi_version = static_cast<std::int32_t>(record.abi_version);
  return result;
}

template <class T>
struct is_std_function : std::false_type {};
template <class R, class... Args>
struct is_std_function<std::function<R(Args...)>> : std::true_type {};

// Whether a callable stands for "no callback", as a null pointer does for the
// C interface: a null function pointer or an empty std::function. Calling
// either would fail, so they mean "no reports", never a failed run.
template <class Callable>
[[nodiscard]] bool is_no_callback(const Callable& callback) noexcept {
  if constexpr (std::is_pointer_v<Callable> || is_std_function<std::remove_cv_t<Callable>>::value) {
    return !callback;
  } else {
    static_cast<void>(callback);
    return false;
  }
}

// What the C trampoline needs: the host's callable, the handle to cancel if
// the callable throws, and the exception to rethrow after the run.
template <class Callback>
struct Bridge {
  Callback& callback;
  tarnwick_handle_t* handle;
  std::exception_ptr error;
};

// Called by the library on the running thread. Nothing may unwind into the
// library: an exception from the callable is kept, the run is asked to stop,
// and the callable is not called again.
template <class Callback>
void forward_progress(const tarnwick_progress_t* record, void* user_data) noexcept {
  auto& bridge = *static_cast<Bridge<Callback>*>(user_data);
  if (bridge.error) return;
  try {
    bridge.callback(to_progress(*record));
  } catch (...) {
    bridge.error = std::current_exception();
    tarnwick_cancel(bridge.handle);
  }
}

}  // namespace detail

/*-*************************************
 *  Benchmark
 ***************************************/
// One run attempt on its own handle: create, run() once, read the result.
//
// Threads: run() blocks its thread for the whole run and calls the callback
// only there. cancel() and result() may be called from any thread at any
// time, also from inside the callback; cancel() is async-signal-safe (one
// atomic store in the library), so a signal handler may call it. A Benchmark
// must not be destroyed, nor be the target of a move assignment, while it
// runs: the library is using its handle. Moving it away is allowed (from the
// callback, say): the run keeps to the handle it started with, run() still
// returns its result, and the object moved to cancels and reads it.
class Benchmark {
 public:
  // Throws AbiMismatch when the loaded library has another interface
  // version, std::runtime_error when the library cannot create a handle.
  Benchmark() {
    detail::check_abi(tarnwick_abi_version(), TARNWICK_ABI_VERSION);
    handle_ = tarnwick_create();
    if (handle_ == nullptr) throw std::runtime_error("the tarnwick library cannot create a handle");
  }
  ~Benchmark() { tarnwick_free(handle_); }

  Benchmark(const Benchmark&) = delete;
  Benchmark& operator=(const Benchmark&) = delete;
  Benchmark(Benchmark&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), started_(other.started_.load()) {}
  Benchmark& operator=(Benchmark&& other) noexcept {
    if (this != &other) {
      tarnwick_free(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
      started_.store(other.started_.load());
    }
    return *this;
  }

  // Runs the benchmark on the calling thread and returns its result; a
  // failed or cancelled run is a result too. `on_progress` is any callable
  // taking `const Progress&`, called about ten times a second and once at
  // the end. If it throws, the run is cancelled, the callable is not called
  // again, and the exception is rethrown here once the run has ended;
  // result() then holds what was measured. A null function pointer or an
  // empty std::function means no reports, as a null callback does in C.
  // Throws std::logic_error on a second call, or on a moved-from Benchmark.
  template <class Callback>
  [[nodiscard]] Result run(const Config& config, Callback&& on_progress) {
    using Callable = std::remove_reference_t<Callback>;
    static_assert(std::is_invocable_v<Callable&, const Progress&>,
                  "the progress callback must accept a const tarnwick::Progress&");
    if (detail::is_no_callback(on_progress)) return run(config);
    // The handle is kept here, not read back from the object, so moving the
    // Benchmark during the run cannot take the result away from this call.
    tarnwick_handle_t* const handle = claim();
    const tarnwick_config_t record = detail::to_record(config);
    detail::Bridge<Callable> bridge{on_progress, handle, nullptr};
    tarnwick_run(handle, &record, &detail::forward_progress<Callable>, &bridge);
    if (bridge.error) std::rethrow_exception(bridge.error);
    return finished(handle);
  }

  // The same without progress reports.
  [[nodiscard]] Result run(const Config& config = Config{}) {
    tarnwick_handle_t* const handle = claim();
    const tarnwick_config_t record = detail::to_record(config);
    tarnwick_run(handle, &record, nullptr, nullptr);
    return finished(handle);
  }

  // Asks the run to stop, before or during it; the run then ends as
  // cancelled with what it measured. Does nothing after the run.
  void cancel() noexcept { tarnwick_cancel(handle_); }

  // The finished attempt's result; empty until the run has ended.
  [[nodiscard]] std::optional<Result> result() const { return read_result(handle_); }

 private:
  // The handle to run on; throws when there is none or it already ran.
  tarnwick_handle_t* claim() {
    if (handle_ == nullptr) throw std::logic_error("tarnwick::Benchmark was moved from");
    if (started_.exchange(true)) {
      throw std::logic_error("tarnwick::Benchmark runs once; create another one to run again");
    }
    return handle_;
  }

  static std::optional<Result> read_result(tarnwick_handle_t* handle) {
    tarnwick_result_t record{};
    if (tarnwick_result(handle, &record) == 0) return std::nullopt;
    std::optional<Result> finished_run = detail::to_result(record, tarnwick_reason(handle));
    tarnwick_sample_t sample{};
    for (std::uint64_t index = 0; index < record.sample_count; ++index) {
      if (tarnwick_sample(handle, index, &sample) == 0) break;
      finished_run->samples.push_back(detail::to_sample(sample));
    }
    return finished_run;
  }

  static Result finished(tarnwick_handle_t* handle) {
    std::optional<Result> stored = read_result(handle);
    if (!stored) throw std::runtime_error("the tarnwick library stored no result");
    return std::move(*stored);
  }

  tarnwick_handle_t* handle_ = nullptr;  // written only by construction and moves
  std::atomic<bool> started_{false};
};

// One run on a fresh Benchmark, for hosts that never cancel.
template <class Callback>
[[nodiscard]] Result run(const Config& config, Callback&& on_progress) {
  Benchmark benchmark;
  return benchmark.run(config, std::forward<Callback>(on_progress));
}

[[nodiscard]] inline Result run(const Config& config = Config{}) {
  Benchmark benchmark;
  return benchmark.run(config);
}

}  // namespace tarnwick

#endif  // TARNWICK_HPP
