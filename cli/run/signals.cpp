#include "run/signals.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace tarnwick {
namespace {

// Lock-free atomics are async-signal-safe; both are checked below.
std::atomic<tarnwick_handle_t*> current_handle{nullptr};
std::atomic<int> signals_seen{0};
static_assert(std::atomic<tarnwick_handle_t*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// Safe against the handle being freed under it: the program has no threads
// of its own, so the handler runs either on the main thread (which is then
// not freeing anything) or on a library worker, and tarnwick_run joins
// every worker, handler included, before it returns and the handle can be
// withdrawn.
extern "C" void on_signal(int signal_number) {
  if (signals_seen.fetch_add(1) > 0) {
    // Finish the progress line so the shell prompt starts on its own.
    const char newline = '\n';
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, &newline, 1);
    _exit(128 + signal_number);
  }
  tarnwick_cancel(current_handle.load());
}

}  // namespace

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // The program's own reads and writes just continue after a signal.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void publish_handle(tarnwick_handle_t* handle) {
  current_handle.store(handle);
  // A signal between the check in the handler and the store above is seen
  // here instead; cancelling twice is harmless.
  if (interrupted()) tarnwick_cancel(handle);
}

void withdraw_handle() { current_handle.store(nullptr); }

bool interrupted() { return signals_seen.load() > 0; }

}  // namespace tarnwick
