#include "commands/report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

#include "commands/command_line.hpp"
#include "document/reader.hpp"
#include "fleet/fleet.hpp"
#include "fleet/outputs.hpp"
#include "fleet/page.hpp"
#include "output/atomic_file.hpp"
#include "output/messages.hpp"
#include "run/signals.hpp"
#include "util/json.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// The report's files: each option with the writer of its file.
struct ReportOutput {
  NamedOutput ReportOptions::*file;
  std::string (*write)(const fleet::FleetReport& report);
};

constexpr std::array<ReportOutput, 3> OUTPUTS = {{
    {&ReportOptions::csv, fleet::report_csv},
    {&ReportOptions::plot, fleet::report_svg},
    {&ReportOptions::html, fleet::report_html},
}};

// The files named, and the .json files under the folders named, each
// folder's in name order.
struct Input {
  std::string path;
  bool scanned = false;  // found in a folder, not named
};

// The .json files under `folder`. A subfolder that cannot be read is a
// problem like a document that cannot be, said and counted under --strict,
// never skipped in silence; symbolic links to folders are not followed.
void walk_folder(const fs::path& folder, std::vector<std::string>& found,
                 fleet::FleetBuilder& builder) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  std::vector<fs::path> folders;
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    std::error_code kind;
    const fs::file_status link = entries->symlink_status(kind);
    if (!kind && fs::is_directory(link)) {
      folders.push_back(entries->path());
    } else if (entries->path().extension() == ".json" && entries->is_regular_file(kind)) {
      found.push_back(entries->path().string());
    }
  }
  if (error) {
    builder.add_problem(folder.string(),
                        fmt::format("cannot list the folder: {}", error.message()));
  }
  for (const fs::path& inner : folders) walk_folder(inner, found, builder);
}

std::vector<Input> collect(const std::vector<std::string>& paths, fleet::FleetBuilder& builder) {
  std::vector<Input> files;
  for (const std::string& path : paths) {
    if (path == "-") {
      files.push_back({path, false});  // standard input
      continue;
    }
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
      builder.add_problem(path, "no such file or directory");
      continue;
    }
    if (error) {
      builder.add_problem(path, error.message());
      continue;
    }
    if (!fs::is_directory(status)) {
      files.push_back({path, false});
      continue;
    }
    std::vector<std::string> found;
    walk_folder(path, found, builder);
    std::sort(found.begin(), found.end());
    for (std::string& file : found) files.push_back({std::move(file), true});
  }
  return files;
}

// Each file is read in chunks, one document after another; the builder
// counts a run read twice (the same document in two files, or twice in a
// log) once. False when the runs read outgrow the memory budget (said).
bool read_inputs(const std::vector<std::string>& paths, fleet::FleetBuilder& builder) {
  for (const Input& input : collect(paths, builder)) {
    auto input_file = InputFile::open(input.path, input.scanned);
    if (auto* reason = std::get_if<std::string>(&input_file)) {
      builder.add_problem(input.path, *reason);
      continue;
    }
    const InputFile& file = std::get<InputFile>(input_file);
    const std::string file_time =
        utc_text(static_cast<UtcMillis>(file.modified_seconds()) * 1000, false);
    DocumentReader reader(file, ReadOptions{false, false, &builder.budget()});
    bool any = false;
    while (auto item = reader.next()) {
      any = true;
      if (auto* reason = std::get_if<std::string>(&*item)) {
        builder.add_problem(input.path, *reason);
        continue;
      }
      builder.add(input.path, std::get<LoadedDocument>(*item), file_time);
      if (builder.over_budget()) break;
    }
    if (!any) builder.add_problem(input.path, "empty: no JSON text");
    if (reader.over_budget() || builder.over_budget()) {
      // Memory bounds every input's shape: past the budget the report
      // would show part of what it was given, as if it were all.
      tell(
          "tarnwick: report: {}: the runs read need more than the {} MiB memory budget; no "
          "report was written\n",
          file.name(), MEMORY_BUDGET >> 20);
      return false;
    }
  }
  return true;
}

}  // namespace

CLI::App& add_report_command(CLI::App& app, ReportOptions& options, CommandAction& action) {
  CLI::App* command = app.add_subcommand(
      "report", "Flags the hosts slow or fast against their twins in many result documents");
  command->add_option("PATH", options.paths, "Result documents and folders of them ('-': stdin)")
      ->required()
      ->type_name("");
  command->add_flag("--all-runs", options.all_runs,
                    "Every run of each host, not only its latest document's");
  command->add_option("--since", options.since, "Leave out runs older than DATE (UTC)")
      ->check(SINCE_DATE)
      ->type_name("DATE");
  command->add_flag("--json", options.json, "Print the report as one JSON document");
  add_output_option(*command, options.csv, "Write one row per host and group to FILE");
  add_output_option(*command, options.plot,
                    "Write an SVG picture of each group's hosts, the flagged ones named, to FILE");
  add_output_option(*command, options.html,
                    "Write a self-contained HTML page (groups, a table of hosts that sorts and "
                    "filters, each host's runs) to FILE");
  command->add_flag("--strict", options.strict,
                    "Exit with status 2 when any document was left out");
  command->footer(
      "Exit status: 0 reported, 2 no usable document (or none since DATE), a document left\n"
      "out with --strict, or an output could not be written, 64 bad command line. Ctrl-C\n"
      "leaves at once and changes no file.");
  command->callback(
      [&options, &action] { action = [&options] { return report_command(options); }; });
  return *command;
}

int report_command(const ReportOptions& options) {
  std::vector<NamedOutput> named;
  named.reserve(OUTPUTS.size());
  for (const ReportOutput& output : OUTPUTS) named.push_back(options.*output.file);
  // Before the temporary files exist, so that a signal never leaves one.
  install_leaving_handlers();
  auto opened = open_outputs(named, options.json ? "--json" : "");
  if (const int* status = std::get_if<int>(&opened)) return *status;
  std::vector<std::optional<OutputFile>>& files = std::get<OpenedOutputs>(opened).files;
  const bool text_on_stdout = !std::get<OpenedOutputs>(opened).standard_output;

  fleet::FleetOptions settings;
  settings.all_runs = options.all_runs;
  if (!options.since.empty()) settings.since = parse_user_time(options.since);
  fleet::FleetBuilder builder(settings);
  if (!read_inputs(options.paths, builder)) return EXIT_FAILED;
  const fleet::FleetReport report = builder.finish();

  bool written = true;
  const auto check = [&written](const std::optional<std::string>& failure) {
    if (!failure) return;
    tell("tarnwick: {}\n", *failure);
    written = false;
  };
  if (options.json) {
    check(write_standard_output(ascii_json_text(report_json(report))));
  } else if (text_on_stdout) {
    check(write_standard_output(report_text(report)));
  } else {
    static_cast<void>(std::fputs(report_text(report).c_str(), stderr));
  }
  // Nothing usable: every existing output file stays as it was.
  if (report.documents == 0) {
    if (settings.since) {
      tell("tarnwick: report: no run since {} in {}\n", options.since,
           fmt::join(options.paths, ", "));
    } else {
      tell("tarnwick: report: no usable result document in {}\n", fmt::join(options.paths, ", "));
    }
    return EXIT_FAILED;
  }
  for (std::size_t index = 0; index < OUTPUTS.size(); ++index) {
    if (files[index]) check(files[index]->commit(OUTPUTS[index].write(report)));
  }
  if (options.strict && !report.problems.empty()) {
    const std::size_t left_out = report.problems.size() + report.problems_unlisted;
    tell("tarnwick: report: {} left out (--strict)\n",
         left_out == 1 ? std::string("a document was")
                       : fmt::format("{} documents or runs were", left_out));
    return EXIT_FAILED;
  }
  return written ? EXIT_OK : EXIT_FAILED;
}

}  // namespace tarnwick
