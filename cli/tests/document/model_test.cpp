#include "document/model.hpp"

#include <gtest/gtest.h>

#include "make_run.hpp"

namespace tarnwick {
namespace {

TEST(Scaling, IsMultiRateOverThreadsTimesSingleRate) {
  EXPECT_DOUBLE_EQ(*scaling(completed_run({1000, 1000}), completed_run({3000, 3000}, 4)), 0.75);
  EXPECT_FALSE(scaling(cancelled_run({1000}), completed_run({3000}, 4)).has_value());
  EXPECT_FALSE(scaling(completed_run({1000}), cancelled_run({3000})).has_value());
  EXPECT_FALSE(scaling(completed_run({0, 0}), completed_run({3000}, 4)).has_value());
}

TEST(WorkersText, NamesAllCpuRuns) {
  EXPECT_EQ(workers_text(completed_run({1})), "1 worker");
  EXPECT_EQ(workers_text(completed_run({1}, 4)), "all CPUs, 4 workers");
  RunReport refused;
  refused.result.all_cpus = true;
  EXPECT_EQ(workers_text(refused), "all CPUs");
}

TEST(ExitStatus, FailureOutranksCancellation) {
  RunReport failed;
  failed.result.status = Status::failed;
  EXPECT_EQ(exit_status(session_of({})), 0);
  EXPECT_EQ(exit_status(session_of({completed_run({1}), completed_run({1}, 2)})), 0);
  EXPECT_EQ(exit_status(session_of({completed_run({1}), cancelled_run({1})})), 1);
  EXPECT_EQ(exit_status(session_of({cancelled_run({1}), failed})), 2);
  EXPECT_EQ(exit_status(session_of({failed, cancelled_run({1})})), 2);
}

}  // namespace
}  // namespace tarnwick
