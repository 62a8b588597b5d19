// The queries on a handle whose Stored is installed directly, so every field
// can be given a value of its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "handle.hpp"
#include "tarnwick.h"

namespace tarnwick {
namespace {

struct HandleDeleter {
  void operator()(Handle* h) const noexcept { tarnwick_free(h); }
};
using HandlePtr = std::unique_ptr<Handle, HandleDeleter>;

HandlePtr handle_with(Outcome outcome) {
  HandlePtr h(tarnwick_create());
  const std::lock_guard lock(h->stored.mutex);
  h->stored.value.emplace(make_stored(std::move(outcome)));
  return h;
}

Outcome distinct_outcome() {
  Outcome o;
  o.status = STATUS_COMPLETED;
  o.benchmark = 2;
  o.threads = 5;
  o.mean_rate = 1234.5;
  o.cv_percent = 10.5;
  o.unstable = true;
  o.warmup_seconds = 0.125;
  o.measure_seconds = 2.0;
  o.measured_seconds = 2.0625;
  o.operations = 0x1122334455667788ULL;
  o.checksum = 0x8877665544332211ULL;
  o.samples = {{1.0, 1.0, 8, 8.0}, {2.0625, 1.0625, 16, 16.0 / 1.0625}};
  return o;
}

TEST(StoredText, ReplacesEveryNulAndKeepsTheLength) {
  const struct {
    std::string reason;
    std::string text;
  } cases[] = {
      {"", ""},
      {"cancelled", "cancelled"},
      {std::string("a\0b\0\0c", 6), "a b  c"},
      {std::string("\0", 1), " "},
  };
  for (const auto& c : cases) {
    Outcome o;
    o.reason = c.reason;
    const Stored s = make_stored(std::move(o));
    EXPECT_EQ(s.reason_text, c.text);
    EXPECT_EQ(std::strlen(s.reason_text.c_str()), c.reason.size());
    // Moved, never copied: storing must not allocate.
    EXPECT_TRUE(s.outcome.reason.empty());
  }
}

TEST(Queries, ResultCopiesEveryFieldOfTheOutcome) {
  const HandlePtr h = handle_with(distinct_outcome());
  tarnwick_result_t r;
  std::memset(&r, 0xAB, sizeof r);
  ASSERT_EQ(tarnwick_result(h.get(), &r), 1);
  EXPECT_EQ(r.abi_version, 1u);
  EXPECT_EQ(r.status, STATUS_COMPLETED);
  EXPECT_EQ(r.benchmark, 2u);
  EXPECT_EQ(r.threads, 5u);
  EXPECT_EQ(r.mean_rate, 1234.5);
  EXPECT_EQ(r.warmup_seconds, 0.125);
  EXPECT_EQ(r.measure_seconds, 2.0);
  EXPECT_EQ(r.measured_seconds, 2.0625);
  EXPECT_EQ(r.cv_percent, 10.5);
  EXPECT_EQ(r.operations, 0x1122334455667788ULL);
  EXPECT_EQ(r.checksum, 0x8877665544332211ULL);
  EXPECT_EQ(r.sample_count, 2u);
  EXPECT_EQ(r.unstable, 1u);
  EXPECT_EQ(r.has_cv, 1u);
}

TEST(Queries, ReasonKeepsNulsAsSpacesAndOnePointer) {
  Outcome o;
  o.reason = std::string("worker said \"a\0b\"", 17);
  const HandlePtr h = handle_with(std::move(o));
  const char* first = tarnwick_reason(h.get());
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "worker said \"a b\"");
  EXPECT_EQ(tarnwick_reason(h.get()), first);
}

}  // namespace
}  // namespace tarnwick
