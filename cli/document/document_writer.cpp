#include "document/document_writer.hpp"

#include <fmt/format.h>

#include "document/reader.hpp"

namespace tarnwick {
namespace reading {

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static constexpr char DIGITS[] = "0123456789abcdef";
      out += "\\u00";
      out += DIGITS[byte >> 4];
      out += DIGITS[byte & 0xf];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string number_text(double value) { return fmt::format("{}", value); }

}  // namespace reading

std::string write_document(const LoadedDocument& document) {
  std::string runs = "[";
  for (const LoadedRun& run : document.runs) {
    if (runs.size() > 1) runs += ',';
    std::string samples = "[";
    for (std::size_t i = 0; i < run.times.size() && i < run.rates.size(); ++i) {
      if (samples.size() > 1) samples += ',';
      samples +=
          fmt::format(R"({{"time":{},"duration":{},"operations":{},"rate":{}}})",
                      reading::number_text(run.times[i]), reading::number_text(run.durations[i]),
                      run.sample_operations[i], reading::number_text(run.rates[i]));
    }
    samples += ']';
    std::string text = run.json;
    if (run.samples_at != std::string::npos && run.samples_at + 2 <= text.size()) {
      text.replace(run.samples_at, 2, samples);
    }
    runs += text;
  }
  runs += ']';
  std::string text = document.json;
  if (document.runs_at + 2 <= text.size()) text.replace(document.runs_at, 2, runs);
  return text;
}

}  // namespace tarnwick
