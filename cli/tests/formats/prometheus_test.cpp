#include "formats/prometheus.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

TEST(Prometheus, EscapesLabelValues) {
  EXPECT_EQ(prometheus_label_value("Xeon \"Gold\" C:\\x\nnext"),
            "Xeon \\\"Gold\\\" C:\\\\x\\nnext");
  Session session;
  session.version = "0.0.2";
  session.environment.cpu.model = "CPU \"A\"";
  EXPECT_NE(prometheus_text(session).find("cpu_model=\"CPU \\\"A\\\"\""), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
