#include "run/signals.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "output/atomic_file.hpp"
#include "util/exit_status.hpp"

namespace tarnwick {
namespace {

// Lock-free atomics are async-signal-safe; all are checked below.
std::atomic<Benchmark*> current_benchmark{nullptr};
std::atomic<int> signals_seen{0};
std::atomic<bool> resized{false};
// The line for each number of outputs written so far, made before the first
// is written; the handler prints the current one with write(2) alone.
std::vector<std::string> unwritten_lines;
std::atomic<const char*> unwritten_line{nullptr};
std::atomic<std::size_t> outputs_written{0};
static_assert(std::atomic<const char*>::is_always_lock_free);
static_assert(std::atomic<Benchmark*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

[[noreturn]] void leave_now(int signal_number) {
  remove_temporary_files();
  // Finish the progress line so the shell prompt starts on its own.
  const char newline = '\n';
  [[maybe_unused]] ssize_t written = write(STDERR_FILENO, &newline, 1);
  if (const char* line = unwritten_line.load()) {
    written = write(STDERR_FILENO, line, std::strlen(line));
  }
  _exit(EXIT_SIGNAL_BASE + signal_number);
}

// Safe against the benchmark being freed under it: the program has no
// threads of its own, so the handler runs either on the main thread (which
// is then not freeing anything) or on a library worker, and the run joins
// every worker, handler included, before it returns and the benchmark can
// be withdrawn. Benchmark::cancel only passes the handle to tarnwick_cancel.
extern "C" void on_cancel(int signal_number) {
  if (signals_seen.fetch_add(1) > 0) leave_now(signal_number);
  if (Benchmark* benchmark = current_benchmark.load()) benchmark->cancel();
}

extern "C" void on_leave(int signal_number) { leave_now(signal_number); }

extern "C" void on_resize(int) { resized.store(true); }

void install(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // The program's own reads and writes just continue after a signal.
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void install_signal_handlers() {
  install(SIGINT, on_cancel);
  install(SIGTERM, on_cancel);
  install(SIGHUP, on_leave);
  install(SIGWINCH, on_resize);
}

void install_leaving_handlers() {
  install(SIGINT, on_leave);
  install(SIGTERM, on_leave);
  install(SIGHUP, on_leave);
}

void publish_benchmark(Benchmark* benchmark) {
  current_benchmark.store(benchmark);
  // A signal between the check in the handler and the store above is seen
  // here instead; cancelling twice is harmless.
  if (interrupted()) benchmark->cancel();
}

void withdraw_benchmark() { current_benchmark.store(nullptr); }

void expect_outputs(const std::vector<std::string>& outputs) {
  unwritten_line.store(nullptr);
  unwritten_lines.clear();
  for (std::size_t done = 0; done < outputs.size(); ++done) {
    const auto rest = outputs.begin() + static_cast<std::ptrdiff_t>(done);
    unwritten_lines.push_back(fmt::format("tarnwick: ended by a signal; not written: {}\n",
                                          fmt::join(rest, outputs.end(), ", ")));
  }
  outputs_written.store(0);
  if (!unwritten_lines.empty()) unwritten_line.store(unwritten_lines.front().c_str());
}

void output_written() {
  const std::size_t done = outputs_written.fetch_add(1) + 1;
  unwritten_line.store(done < unwritten_lines.size() ? unwritten_lines[done].c_str() : nullptr);
}

bool interrupted() { return signals_seen.load() > 0; }

bool terminal_resized() { return resized.exchange(false); }

}  // namespace tarnwick
