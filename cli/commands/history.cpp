#include "commands/history.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <utility>
#include <variant>

#include "commands/command_line.hpp"
#include "document/reader.hpp"
#include "output/atomic_file.hpp"
#include "output/messages.hpp"
#include "output/terminal.hpp"
#include "store/documents.hpp"
#include "store/history.hpp"
#include "store/listing.hpp"
#include "store/location.hpp"

namespace tarnwick {
namespace {

std::optional<std::string> located(const std::string& option) {
  auto path = history_path(option);
  if (!path) fail(std::string(NO_HISTORY_PATH));
  return path;
}

std::variant<std::string, std::string> read_text(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    if (std::cin.bad())
      return std::variant<std::string, std::string>(std::in_place_index<1>,
                                                    "cannot read standard input");
  } else {
    // A folder opens as a stream that reads nothing: say what it is.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      return std::variant<std::string, std::string>(
          std::in_place_index<1>, fmt::format("cannot read '{}': {}", path, std::strerror(EISDIR)));
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      return std::variant<std::string, std::string>(
          std::in_place_index<1>, fmt::format("cannot read '{}': {}", path, std::strerror(errno)));
    }
    text << file.rdbuf();
  }
  return std::variant<std::string, std::string>(std::in_place_index<0>, text.str());
}

int import_documents(History& history, const std::vector<std::string>& paths) {
  // Everything is read before anything is stored: one bad file stores nothing.
  std::vector<DocumentEntry> documents;
  for (const std::string& path : paths) {
    auto text = read_text(path);
    if (text.index() == 1) return fail(std::get<1>(text));
    auto read = history_entries(std::get<0>(text));
    if (auto* reason = std::get_if<std::string>(&read)) {
      return fail(fmt::format("{}: {}", path == "-" ? "standard input" : path, *reason));
    }
    auto& entries = std::get<std::vector<DocumentEntry>>(read);
    std::move(entries.begin(), entries.end(), std::back_inserter(documents));
  }
  const auto saved = history.save(documents);
  if (auto* failure = std::get_if<std::string>(&saved)) return fail(*failure);
  const SaveCounts& counts = std::get<SaveCounts>(saved);
  fmt::print("Imported {} run{} into {}", counts.stored, counts.stored == 1 ? "" : "s",
             history.path());
  if (counts.skipped > 0) fmt::print(" ({} already stored, skipped)", counts.skipped);
  fmt::print(".\n");
  return 0;
}

int export_documents(History& history, const std::string& path) {
  if (path == "-") {
    bool written = true;
    const auto failure = history.export_documents([&](const std::string& line) {
      written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
                std::fputc('\n', stdout) != EOF;
      return written;
    });
    if (failure) return fail(*failure);
    if (!written || std::fflush(stdout) != 0) {
      return fail(fmt::format("cannot write standard output: {}", std::strerror(errno)));
    }
    return 0;
  }
  auto opened = open_outputs({{"--export", path, true}}, "", {{"--history", history.path(), true}});
  if (const int* status = std::get_if<int>(&opened)) return *status;
  OutputFile& output = *std::get<OpenedOutputs>(opened).files[0];
  std::string contents;
  if (const auto failure = history.export_documents([&](const std::string& line) {
        contents += line;
        contents += '\n';
        return true;
      })) {
    return fail(*failure);
  }
  if (const auto failure = output.commit(contents)) return fail(*failure);
  return 0;
}

}  // namespace

void add_history_command(CLI::App& app, HistoryOptions& options, CommandAction& action) {
  CLI::App* command = app.add_subcommand(
      "history", "Lists the runs stored with --save, with the mean rate over time");
  command->footer(
      "The history is --history FILE, else $TARNWICK_HISTORY, else\n"
      "$XDG_DATA_HOME/tarnwick/history.db, else ~/.local/share/tarnwick/history.db.\n"
      "Exit status: 0 done, 1 --fail-on-change found a recent change that large,\n"
      "2 the history or a file could not be read or written, 64 bad command line.");
  command->add_option("--history", options.history, "The history's database file")
      ->check(FILE_NAME)
      ->type_name("FILE");
  auto* host =
      command->add_option("--host", options.host, "Only the runs of host H")->type_name("H");
  auto* label =
      command->add_option("--label", options.label, "Only the runs labelled L")->type_name("L");
  auto* last =
      command
          ->add_option("--last", options.last,
                       "How many of the latest runs to list (default 20);\n"
                       "with --fail-on-change, how recent a change fails (default 10)")
          ->check(whole_number_text("a whole number of runs from 1 to 1000000", 1, 1000000))
          ->type_name("N");
  auto* json = command->add_flag("--json", options.json, "Print the listing as a JSON document");
  auto* import = command
                     ->add_option("--import", options.import_paths,
                                  "Store the runs of result documents or exported JSON lines,\n"
                                  "skipping runs already stored ('-': stdin)")
                     ->type_name("FILE...")
                     ->expected(1, -1);
  auto* exported = command
                       ->add_option_function<std::string>(
                           "--export",
                           [&options](const std::string& path) {
                             options.export_path = path.empty() ? "-" : path;
                           },
                           "Write every stored document as JSON lines (default: stdout)")
                       ->type_name("[FILE]")
                       ->expected(0, 1);
  auto* removed = command
                      ->add_option("--delete", options.delete_ids,
                                   "Remove the runs with these ids (or 8+ character prefixes)")
                      ->type_name("ID...")
                      ->expected(1, -1);
  add_changes_options(*command, options.changes);
  for (CLI::Option* listing :
       {host, label, last, json, command->get_option("--changes"), command->get_option("--html")}) {
    listing->excludes(import)->excludes(exported)->excludes(removed);
  }
  import->excludes(exported)->excludes(removed);
  exported->excludes(removed);
  command->callback([&options, &action, last] {
    options.last_given = last->count() > 0;
    action = [&options] { return history_command(options); };
  });
}

int history_command(const HistoryOptions& options) {
  const auto path = located(options.history);
  if (!path) return EXIT_FAILED;
  const bool writing = !options.import_paths.empty() || !options.delete_ids.empty();
  auto opened = History::open(*path, writing ? Access::write : Access::read);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  History& history = std::get<History>(opened);

  if (!options.import_paths.empty()) return import_documents(history, options.import_paths);
  if (wants_changes(options.changes)) {
    return changes_command(
        history, {&options.changes, options.host, options.label, options.json,
                  options.last_given ? std::optional<int64_t>(options.last) : std::nullopt});
  }
  if (options.export_path) return export_documents(history, *options.export_path);
  if (!options.delete_ids.empty()) {
    const auto removed = history.remove(options.delete_ids);
    if (auto* failure = std::get_if<std::string>(&removed)) return fail(*failure);
    const size_t count = std::get<size_t>(removed);
    fmt::print("Removed {} run{} from {}.\n", count, count == 1 ? "" : "s", history.path());
    return 0;
  }
  const auto listing = history.list(HistoryFilter{options.host, options.label, options.last});
  if (auto* failure = std::get_if<std::string>(&listing)) return fail(*failure);
  const std::string text =
      options.json
          ? listing_json(*path, std::get<HistoryListing>(listing))
                    .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
                "\n"
          : listing_text(*path, std::get<HistoryListing>(listing),
                         style_for(stdout, ColorChoice::never).utf8);
  if (const auto failure = write_standard_output(text)) return fail(*failure);
  return 0;
}

int save_to_history(const nlohmann::ordered_json& document, const std::string& history_option,
                    bool quiet) {
  const auto path = located(history_option);
  if (!path) return EXIT_FAILED;
  auto entries = history_entries(
      document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  if (auto* reason = std::get_if<std::string>(&entries)) {
    return fail(fmt::format("cannot store the run: {}", *reason));
  }
  auto opened = History::open(*path, Access::write);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  const auto saved = std::get<History>(opened).save(std::get<std::vector<DocumentEntry>>(entries));
  if (auto* failure = std::get_if<std::string>(&saved)) return fail(*failure);
  if (!quiet) {
    const size_t stored = std::get<SaveCounts>(saved).stored;
    tell("tarnwick: stored {} run{} in {}\n", stored, stored == 1 ? "" : "s", *path);
  }
  return 0;
}

}  // namespace tarnwick
