#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "driver.hpp"
#include "outcome.hpp"
#include "tarnwick.h"

namespace tarnwick {

// What a finished run attempt leaves in its handle; read by the queries.
struct Stored {
  Outcome outcome;
  // The outcome's reason (moved here: outcome.reason is left empty),
  // NUL-terminated, with every NUL inside it turned into a space so that a C
  // host sees all of it. c_str() is what tarnwick_reason returns.
  std::string reason_text;
};

// Builds the Stored of an attempt. Allocates nothing.
[[nodiscard]] Stored make_stored(Outcome outcome) noexcept;

// The optional Stored and the mutex that guards it. The mutex is held only
// while a query copies out and while the run entry installs the Stored; never
// during the run.
struct StoredSlot {
  std::mutex mutex;
  std::optional<Stored> value;  // guarded by mutex; set once, never replaced
};

}  // namespace tarnwick

// The object behind the host's opaque pointer. It carries one run attempt in
// its life; tarnwick_free is not synchronised with anything.
struct tarnwick_handle {
  explicit tarnwick_handle(std::shared_ptr<tarnwick::CancelFlag> flag) noexcept
      : cancel_flag(std::move(flag)) {}
  tarnwick_handle(const tarnwick_handle&) = delete;
  tarnwick_handle& operator=(const tarnwick_handle&) = delete;
  tarnwick_handle(tarnwick_handle&&) = delete;
  tarnwick_handle& operator=(tarnwick_handle&&) = delete;
  ~tarnwick_handle() = default;

  // Set by tarnwick_cancel from any thread, never cleared; the driver and its
  // workers hold further references while a run is in progress.
  const std::shared_ptr<tarnwick::CancelFlag> cancel_flag;
  tarnwick::StoredSlot stored;
  // Exchanged to true by the first tarnwick_run; never cleared.
  std::atomic<bool> started{false};
};

namespace tarnwick {
using Handle = ::tarnwick_handle;
}  // namespace tarnwick
