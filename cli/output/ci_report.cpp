#include "output/ci_report.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "output/atomic_file.hpp"
#include "util/svg.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

std::string xml_lines(const std::string& text) {
  std::string lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (start > 0) lines += '\n';
    lines += xml_escape(text.substr(start, end - start));
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string junit_xml(const std::vector<CiSuite>& suites) {
  std::size_t tests = 0, failures = 0, skipped = 0;
  std::string body;
  for (const CiSuite& suite : suites) {
    std::size_t suite_failures = 0, suite_skipped = 0;
    std::string cases;
    for (const CiCase& one : suite.cases) {
      cases += fmt::format("    <testcase name=\"{}\" classname=\"{}\">\n", xml_escape(one.name),
                           xml_escape(suite.name));
      switch (one.outcome) {
        case CiCase::Outcome::failed:
          ++suite_failures;
          cases += fmt::format("      <failure message=\"{}\" type=\"gate\">{}</failure>\n",
                               xml_escape(one.message), xml_lines(one.detail));
          break;
        case CiCase::Outcome::skipped:
          ++suite_skipped;
          cases += fmt::format("      <skipped message=\"{}\"/>\n", xml_escape(one.message));
          break;
        case CiCase::Outcome::passed:
          break;
      }
      if (one.outcome != CiCase::Outcome::failed && !one.detail.empty()) {
        cases += fmt::format("      <system-out>{}</system-out>\n", xml_lines(one.detail));
      }
      cases += "    </testcase>\n";
    }
    tests += suite.cases.size();
    failures += suite_failures;
    skipped += suite_skipped;
    body += fmt::format(
        "  <testsuite name=\"{}\" tests=\"{}\" failures=\"{}\" errors=\"0\" skipped=\"{}\">\n{}  "
        "</testsuite>\n",
        xml_escape(suite.name), suite.cases.size(), suite_failures, suite_skipped, cases);
  }
  return fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tarnwick\" tests=\"{}\" "
      "failures=\"{}\" errors=\"0\" skipped=\"{}\">\n{}</testsuites>\n",
      tests, failures, skipped, body);
}

std::string markdown_escape(const std::string& text) {
  std::string escaped;
  for (const char c : printable(text)) {
    switch (c) {
      case '\n':
      case '\r':
      case '\t':
        escaped += ' ';
        break;
      case '\\':
      case '|':
      case '*':
      case '_':
      case '`':
      case '[':
      case ']':
      case '#':
      case '~':
        escaped += '\\';
        escaped += c;
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '&':
        escaped += "&amp;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string markdown_tables(const std::vector<MarkdownTable>& tables) {
  std::string text;
  for (const MarkdownTable& table : tables) {
    if (!table.heading.empty()) text += fmt::format("### {}\n\n", markdown_escape(table.heading));
    const auto line = [&](const std::vector<std::string>& cells) {
      text += "|";
      for (std::size_t i = 0; i < table.columns.size(); ++i) {
        text += ' ';
        text += i < cells.size() ? markdown_escape(cells[i]) : std::string();
        text += " |";
      }
      text += '\n';
    };
    line(table.columns);
    text += "|";
    for (std::size_t i = 0; i < table.columns.size(); ++i) text += " --- |";
    text += '\n';
    for (const auto& cells : table.rows) line(cells);
    if (!table.notes.empty()) text += '\n';
    for (const std::string& note : table.notes) text += markdown_escape(note) + "\n";
    text += '\n';
  }
  return text;
}

std::optional<std::string> append_markdown(OutputFile& out, const std::string& markdown) {
  const std::string& path = out.path();
  if (out.is_stream()) return out.commit(markdown);
  std::string before;
  errno = 0;
  std::ifstream existing(path, std::ios::binary);
  if (existing) {
    before.assign(std::istreambuf_iterator<char>(existing), std::istreambuf_iterator<char>());
    if (existing.bad()) {
      out.discard();
      return fmt::format("cannot read '{}' to add to it: {}", printable(path),
                         std::strerror(errno != 0 ? errno : EIO));
    }
  } else if (errno != ENOENT && errno != 0) {
    out.discard();
    return fmt::format("cannot read '{}' to add to it: {}", printable(path), std::strerror(errno));
  }
  if (!before.empty() && before.back() != '\n') before += '\n';
  if (!before.empty()) before += '\n';
  if (auto failure = out.write(before)) return failure;
  return out.commit(markdown);
}

}  // namespace tarnwick
