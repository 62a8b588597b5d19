#include "run/warnings.hpp"

#include <gtest/gtest.h>

#include "make_run.hpp"

namespace tarnwick {
namespace {

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
