#include "store/listing.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "tarnwick.hpp"
#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/sparkline.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

constexpr size_t HOST_WIDTH = 12;

// Long names keep their start and lose their middle, so node names that
// differ at the end stay apart.
std::string fit(const std::string& raw, size_t width) {
  std::string text = printable(raw);
  if (characters(text) <= width) return text;
  const size_t head = width - 3;
  return first_characters(text, head - 2) + "..." + last_characters(text, 2);
}

std::string host_text(const std::string& host) {
  return host.empty() ? "?" : fit(host, HOST_WIDTH);
}

// "2026-12-07T23:50:01.123Z" -> "2026-12-07 23:50".
std::string minute(const std::string& iso) {
  if (iso.size() < 16) return iso;
  std::string text = iso.substr(0, 16);
  text[10] = ' ';
  return text;
}

}  // namespace

std::string verdict(const ListedRun& run) {
  if (run.status != Status::completed) return std::string(name(run.status));
  if (run.unstable) return "UNSTABLE";
  return run.cv_percent ? "stable" : "no CV";
}

std::string listing_text(const std::string& path, const HistoryListing& listing, bool unicode) {
  if (listing.total == 0) return fmt::format("No runs stored in {}.\n", path);
  std::string text = fmt::format("{} of {} stored runs in {}\n", listing.runs.size(),
                                 grouped(static_cast<double>(listing.total)), printable(path));
  // Single spaces between padded columns: the widest row is 79 columns.
  text += fmt::format("{:<8} {:<16} {:<12} {:<8} {:>3} {:>11} {:>5} {}\n", "id", "date (UTC)",
                      "host", "label", "wkr", "mean/s", "CV", "verdict");
  for (const ListedRun& run : listing.runs) {
    text += fmt::format(
        "{:<8} {:<16} {:<12} {:<8} {:>3} {:>11} {:>5} {}\n", first_characters(printable(run.id), 8),
        printable(minute(run.started)), host_text(run.host), fit(run.label, 8), run.threads,
        run.mean_rate ? grouped(*run.mean_rate) : "-",
        run.cv_percent ? fmt::format("{:.1f}%", *run.cv_percent) : "-", verdict(run));
  }
  text +=
      fmt::format("\nMean rate over the latest {} completed runs, oldest first:\n", SERIES_LENGTH);
  for (const Series& series : listing.series) {
    if (series.means.empty()) continue;
    // The host's means, lowest to highest of its own range.
    const auto [low, high] = std::minmax_element(series.means.begin(), series.means.end());
    text +=
        fmt::format("{:<12} {:<8} {} {} to {}\n", host_text(series.host), fit(series.label, 8),
                    sparkline(series.means, *low, *high, unicode) +
                        std::string(static_cast<size_t>(SERIES_LENGTH) - series.means.size(), ' '),
                    grouped(*low), grouped(*high));
  }
  return text;
}

nlohmann::ordered_json listing_json(const std::string& path, const HistoryListing& listing) {
  nlohmann::ordered_json runs = nlohmann::ordered_json::array();
  for (const ListedRun& run : listing.runs) {
    runs.push_back({{"id", run.id},
                    {"started", run.started},
                    {"host", or_null(!run.host.empty(), run.host)},
                    {"label", run.label},
                    {"threads", run.threads},
                    {"library_version", run.library_version},
                    {"status", static_cast<uint32_t>(run.status)},
                    {"status_name", name(run.status)},
                    {"mean_rate", or_null(run.mean_rate)},
                    {"cv_percent", or_null(run.cv_percent)},
                    {"unstable", run.unstable},
                    {"disturbed_seconds", or_null(run.disturbed_seconds)},
                    {"verdict", verdict(run)}});
  }
  nlohmann::ordered_json series = nlohmann::ordered_json::array();
  for (const Series& one : listing.series) {
    series.push_back({{"host", or_null(!one.host.empty(), one.host)},
                      {"label", one.label},
                      {"mean_rates", one.means}});
  }
  return {{"schema_version", 1},         {"program", "tarnwick"},
          {"command", "history"},        {"history", path},
          {"total_runs", listing.total}, {"runs", std::move(runs)},
          {"series", std::move(series)}};
}

}  // namespace tarnwick
