// Results in the formats CI systems read: JUnit XML (a test case per label
// or series; a failure where a gate trips, skipped with the reason where
// nothing was judged) and Markdown tables for a job's summary page. Text
// from documents is escaped here, once, for each format.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

struct CiCase {
  enum class Outcome { passed, failed, skipped };
  std::string name;
  Outcome outcome = Outcome::passed;
  std::string message;  // the failure's or the skip's reason, one line
  std::string detail;   // more lines for a failure or standard output
};

struct CiSuite {
  std::string name;
  std::vector<CiCase> cases;
};

// One <testsuites> document with a <testsuite> per suite.
[[nodiscard]] std::string junit_xml(const std::vector<CiSuite>& suites);

struct MarkdownTable {
  std::string heading;                         // a "###" line above the table; none if empty
  std::vector<std::string> columns;            // the header row
  std::vector<std::vector<std::string>> rows;  // each as many cells as columns
  std::vector<std::string> notes;              // lines after the table
};

// The tables, each cell escaped so that document text can neither break
// the table nor add markup.
[[nodiscard]] std::string markdown_tables(const std::vector<MarkdownTable>& tables);

// `text` made safe for a Markdown table cell or a line of prose.
[[nodiscard]] std::string markdown_escape(const std::string& text);

class OutputFile;

// Adds `markdown` to the end of `out`'s file, as CI step summaries are
// written: a regular file is copied with the addition into the output's
// temporary file, which then replaces it (a reader never sees half of it);
// anything else (a pipe, a device) is written to directly. A missing file
// is created.
[[nodiscard]] std::optional<std::string> append_markdown(OutputFile& out,
                                                         const std::string& markdown);

}  // namespace tarnwick
