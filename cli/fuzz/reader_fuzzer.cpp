// libFuzzer target for the document reader: any bytes, read as a file of
// documents. The oracle: no crash or sanitizer report, bounded time and
// memory (libFuzzer's -timeout and -rss_limit_mb), and every document the
// reader accepts, written back, reads as the same model.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "document/reader.hpp"

namespace {

bool same_run(const tarnwick::LoadedRun& a, const tarnwick::LoadedRun& b) {
  return a.id == b.id && a.label == b.label && a.repetition == b.repetition &&
         a.status == b.status && a.reason == b.reason && a.threads == b.threads &&
         a.mean_rate == b.mean_rate && a.cv_percent == b.cv_percent && a.unstable == b.unstable &&
         a.measured_seconds == b.measured_seconds && a.operations == b.operations &&
         a.checksum == b.checksum && a.sample_count == b.sample_count && a.started == b.started &&
         a.ended == b.ended && a.started_at == b.started_at && a.ended_at == b.ended_at &&
         a.samples_digest == b.samples_digest && a.rates == b.rates && a.durations == b.durations &&
         a.times == b.times && a.sample_operations == b.sample_operations && a.json == b.json;
}

bool same_document(const tarnwick::LoadedDocument& a, const tarnwick::LoadedDocument& b) {
  if (a.schema_version != b.schema_version || a.status != b.status ||
      a.library_version != b.library_version || a.hostname != b.hostname ||
      a.timestamp != b.timestamp || a.timestamp_at != b.timestamp_at ||
      a.cpu_model != b.cpu_model || a.arch != b.arch || a.json != b.json ||
      a.runs.size() != b.runs.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.runs.size(); ++i) {
    if (!same_run(a.runs[i], b.runs[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tarnwick::ReadOptions all{true, true};
  tarnwick::DocumentReader reader(text, all);
  while (auto item = reader.next()) {
    const auto* document = std::get_if<tarnwick::LoadedDocument>(&*item);
    if (document == nullptr) continue;
    const auto again = tarnwick::read_document(tarnwick::write_document(*document), all);
    const auto* read_back = std::get_if<tarnwick::LoadedDocument>(&again);
    if (read_back == nullptr || !same_document(*document, *read_back)) std::abort();
  }
  return 0;
}
