#include "commands/history.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <variant>

#include "commands/command_line.hpp"
#include "document/read_documents.hpp"
#include "document/reader.hpp"
#include "output/atomic_file.hpp"
#include "output/messages.hpp"
#include "output/terminal.hpp"
#include "store/documents.hpp"
#include "store/history.hpp"
#include "store/listing.hpp"
#include "store/location.hpp"
#include "store/pending.hpp"
#include "store/saving.hpp"
#include "util/json.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// One input of an import, checked in the first pass and read again in the
// second: a regular file through the descriptor the first pass used (a file
// renamed meanwhile does not matter), anything else through a copy kept in
// a temporary file while it was checked.
struct ImportInput {
  InputFile file;
  int copy = -1;  // the temporary copy, or -1
  ImportInput(InputFile opened) : file(std::move(opened)) {}
  ImportInput(ImportInput&& other) noexcept
      : file(std::move(other.file)), copy(std::exchange(other.copy, -1)) {}
  ImportInput& operator=(ImportInput&&) = delete;
  ImportInput(const ImportInput&) = delete;
  ImportInput& operator=(const ImportInput&) = delete;
  ~ImportInput() {
    if (copy >= 0) ::close(copy);
  }
  [[nodiscard]] int second_pass_fd() const { return copy >= 0 ? copy : file.fd(); }
  // Where the second pass starts: standard input is read from where it
  // stood, never from a byte it was not given.
  [[nodiscard]] off_t second_pass_start() const { return copy >= 0 ? 0 : file.start(); }
};

// A temporary file that is gone as soon as it is closed.
int temporary_file() {
  const char* folder = std::getenv("TMPDIR");
  std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                     "/tarnwick-import-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

// An import leaves out the runs removed with --delete, and says so.
std::string deleted_note(const SaveCounts& counts) {
  if (counts.deleted == 0) return {};
  return fmt::format(
      "Left out {} deleted from this history before;\n"
      "'tarnwick history --undelete ID...' makes {} importable again.\n",
      plural(counts.deleted, "run"), agree(counts.deleted, "it", "them"));
}

// What the first pass of an import found: the inputs to read again, the
// runs met, and every reason to store nothing.
struct FirstPass {
  std::vector<ImportInput> inputs;
  Refusals left_out;
  // A run id the input gives two sets of figures is refused as any bad
  // document is; what is remembered of each run stays within the budget.
  MemoryBudget budget;
  SeenRuns seen{&budget};
  size_t missing = 0;  // files named that do not exist
};

// Reads every document of one input, remembering its runs; false when the
// budget ran out (the import cannot go on).
bool check_input(ImportInput& input, FirstPass& pass) {
  DocumentReader reader(input.file, ReadOptions{false, false, &pass.budget}, input.copy);
  size_t found = 0;
  bool over_budget = false;
  while (auto item = reader.next()) {
    ++found;
    if (auto* reason = std::get_if<std::string>(&*item)) {
      pass.left_out.add(fmt::format("{}: {}", input.file.name(), *reason));
      over_budget = over_budget || reader.over_budget();
      if (over_budget) break;
      continue;
    }
    LoadedDocument& document = std::get<LoadedDocument>(*item);
    const std::string source = document_source(input.file.name(), found);
    for (const LoadedRun& run : document.runs) {
      if (pass.seen.offer(document, run, source) == SeenRuns::Seen::conflict) {
        pass.left_out.add(pass.seen.conflicts().back());
      }
    }
    over_budget = over_budget || pass.seen.over_budget();
    if (over_budget) break;
  }
  if (found == 0) pass.left_out.add(fmt::format("{}: empty: no JSON text", input.file.name()));
  if (over_budget) {
    pass.left_out.add(fmt::format("{}: its runs need more than the {} MiB memory budget",
                                  input.file.name(), MEMORY_BUDGET >> 20));
  }
  return !over_budget;
}

// First pass: every document is checked before anything is stored (and
// before the history or its folder is created), reading in chunks. Nullopt
// when a copy of an input that is not a file cannot be kept (said).
std::optional<int> check_inputs(const std::vector<std::string>& paths, FirstPass& pass) {
  for (const std::string& path : paths) {
    struct stat info {};
    if (path != "-" && ::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
      pass.left_out.add(fmt::format("'{}': no such file", printable(path)));
      ++pass.missing;
      continue;
    }
    auto opened = InputFile::open(path);
    if (auto* reason = std::get_if<std::string>(&opened)) {
      pass.left_out.add(std::move(*reason));
      continue;
    }
    ImportInput& input = pass.inputs.emplace_back(std::get<InputFile>(std::move(opened)));
    if (!input.file.regular()) {
      input.copy = temporary_file();
      if (input.copy < 0) {
        return fail(
            fmt::format("cannot keep a copy of {}: {}", input.file.name(), std::strerror(errno)));
      }
    }
    if (!check_input(input, pass)) break;
  }
  return std::nullopt;
}

// Says why nothing was stored: each reason, then the count of each kind.
int refuse_import(const FirstPass& pass) {
  for (const std::string& reason : pass.left_out.listed()) {
    tell("tarnwick: left out: {}\n", printable(reason));
  }
  if (pass.left_out.unlisted() > 0) tell("tarnwick: {}\n", pass.left_out.unlisted_note());
  const size_t refused = pass.left_out.count() - pass.missing;
  std::vector<std::string> why;
  if (pass.missing > 0) {
    why.push_back(pass.missing == 1 ? std::string("a file named does not exist")
                                    : fmt::format("{} files named do not exist", pass.missing));
  }
  if (refused > 0) {
    why.push_back(refused == 1 ? std::string("a document was refused")
                               : fmt::format("{} documents were refused", refused));
  }
  return fail(fmt::format("history --import: {}; nothing was stored", fmt::join(why, " and ")));
}

// Runs the history already holds with other figures refuse the import as
// any bad document does. Read before the history is opened to write, so a
// refused import leaves it as it was. Called with nothing else left out;
// returns the last stored run's key compared, or the exit status.
std::variant<int64_t, int> check_against_history(const std::string& history_path, FirstPass& pass) {
  auto opened = History::open(history_path, Access::read);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  auto checked = std::get<History>(opened).check_stored(pass.seen);
  if (auto* failure = std::get_if<std::string>(&checked)) return fail(*failure);
  StoredCheck& check = std::get<StoredCheck>(checked);
  if (!check.conflicts.empty()) {
    pass.left_out = std::move(check.conflicts);
    return refuse_import(pass);
  }
  return check.checked_up_to;
}

// Second pass: the same bytes again, stored in short batches.
int store_inputs(History& history, const std::vector<ImportInput>& inputs, int64_t checked_up_to) {
  size_t index = 0;
  std::unique_ptr<DocumentReader> reader;
  std::optional<std::string> changed;
  const auto next = [&]() -> std::optional<LoadedDocument> {
    for (;;) {
      if (!reader) {
        if (index == inputs.size()) return std::nullopt;
        const int fd = inputs[index].second_pass_fd();
        const off_t start = inputs[index].second_pass_start();
        if (::lseek(fd, start, SEEK_SET) != start) {
          changed = fmt::format("cannot read {} again: {}", inputs[index].file.name(),
                                std::strerror(errno));
          return std::nullopt;
        }
        reader = std::make_unique<DocumentReader>(fd, HISTORY_READING);
      }
      auto item = reader->next();
      if (!item) {
        reader.reset();
        ++index;
        continue;
      }
      if (auto* reason = std::get_if<std::string>(&*item)) {
        changed =
            fmt::format("{} changed while it was imported: {}", inputs[index].file.name(), *reason);
        return std::nullopt;
      }
      return std::get<LoadedDocument>(std::move(*item));
    }
  };
  SaveCounts counts;
  std::optional<std::string> failure = history.import(next, counts, checked_up_to);
  if (!failure && changed) failure = changed;
  if (failure) {
    if (counts.stored > 0) {
      return fail(fmt::format("{}; {} {} stored before it: import again to store the rest",
                              *failure, plural(counts.stored, "run"),
                              agree(counts.stored, "was", "were")));
    }
    return fail(*failure);
  }
  std::string text =
      fmt::format("Imported {} into {}", plural(counts.stored, "run"), printable(history.path()));
  if (counts.skipped > 0) text += fmt::format(" ({} already stored, skipped)", counts.skipped);
  if (const auto unwritten = write_standard_output(text + ".\n" + deleted_note(counts))) {
    return fail(*unwritten);
  }
  return EXIT_OK;
}

int import_documents(const std::string& history_path, const std::vector<std::string>& paths) {
  FirstPass pass;
  if (const auto status = check_inputs(paths, pass)) return *status;
  if (!pass.left_out.empty()) return refuse_import(pass);
  const auto checked = check_against_history(history_path, pass);
  if (const int* status = std::get_if<int>(&checked)) return *status;

  auto opened = History::open(history_path, Access::write);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  History& history = std::get<History>(opened);
  store_pending(history);
  return store_inputs(history, pass.inputs, std::get<int64_t>(checked));
}

int export_documents(History& history, const std::string& path) {
  auto opened = open_outputs({{"--export", path, true}}, "", {{"--history", history.path(), true}});
  if (const int* status = std::get_if<int>(&opened)) return *status;
  OutputFile& output = *std::get<OpenedOutputs>(opened).files[0];
  // Written piece by piece as the history gives it: the export never sits
  // in memory, and the file is still replaced only once complete.
  std::optional<std::string> unwritten;
  if (const auto failure = history.export_documents([&](std::string_view piece) {
        unwritten = output.write(piece);
        return !unwritten;
      })) {
    return fail(*failure);
  }
  if (unwritten) return fail(*unwritten);
  if (const auto failure = output.commit("")) return fail(*failure);
  return EXIT_OK;
}

}  // namespace

void add_history_command(CLI::App& app, HistoryOptions& options, CommandAction& action) {
  CLI::App* command = app.add_subcommand(
      "history", "Lists the runs stored with --save, with the mean rate over time");
  command->footer(
      "The history is --history FILE, else $TARNWICK_HISTORY, else\n"
      "$XDG_DATA_HOME/tarnwick/history.db, else ~/.local/share/tarnwick/history.db.\n"
      "Exit status: 0 done, 1 --fail-on-change found a recent shift that large,\n"
      "2 the history or a file could not be read or written, 3 --fail-on-change\n"
      "found none but a series too short to judge, 64 bad command line.");
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
                       "with --fail-on-change, how recent a shift's end fails (default 10)")
          ->check(whole_number_text("a whole number of runs from 1 to 1000000", 1, 1000000))
          ->type_name("N");
  auto* json = command->add_flag("--json", options.json, "Print the listing as a JSON document");
  auto* import = command
                     ->add_option("--import", options.import_paths,
                                  "Store the runs of result documents or exported JSON lines,\n"
                                  "skipping runs already stored ('-': stdin)")
                     ->check(FILE_NAME)
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
  auto* restored = command
                       ->add_option("--undelete", options.undelete_ids,
                                    "Let --import store again the deleted runs with these ids")
                       ->type_name("ID...")
                       ->expected(1, -1);
  add_changes_options(*command, options.changes);
  for (CLI::Option* listing :
       {host, label, last, json, command->get_option("--changes"), command->get_option("--html")}) {
    listing->excludes(import)->excludes(exported)->excludes(removed)->excludes(restored);
  }
  import->excludes(exported)->excludes(removed)->excludes(restored);
  exported->excludes(removed)->excludes(restored);
  removed->excludes(restored);
  command->callback([&options, &action, last] {
    options.last_given = last->count() > 0;
    action = [&options] { return history_command(options); };
  });
}

int history_command(const HistoryOptions& options) {
  const auto path = history_path(options.history);
  if (!path) return fail(std::string(NO_HISTORY_PATH));
  if (!options.import_paths.empty()) return import_documents(*path, options.import_paths);
  const bool writing = !options.delete_ids.empty() || !options.undelete_ids.empty();
  auto opened = History::open(*path, writing ? Access::write : Access::read);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  History& history = std::get<History>(opened);
  if (writing) store_pending(history);

  if (wants_changes(options.changes)) {
    return changes_command(
        history, {&options.changes, options.host, options.label, options.json,
                  options.last_given ? std::optional<int64_t>(options.last) : std::nullopt});
  }
  if (options.export_path) return export_documents(history, *options.export_path);
  if (writing) {
    const bool deleting = !options.delete_ids.empty();
    const auto done =
        deleting ? history.remove(options.delete_ids) : history.undelete(options.undelete_ids);
    if (auto* failure = std::get_if<std::string>(&done)) return fail(*failure);
    const size_t count = std::get<size_t>(done);
    const std::string text =
        deleting
            ? fmt::format("Removed {} from {}.\n", plural(count, "run"), printable(history.path()))
            : fmt::format("{} of {} can be imported again.\n", plural(count, "deleted run"),
                          printable(history.path()));
    if (const auto failure = write_standard_output(text)) return fail(*failure);
    return EXIT_OK;
  }
  // A run waiting in a pending file is not in the listing: say where it is.
  for (const std::string& file : pending_files(history.path())) {
    const auto counted = waiting_documents(file);
    if (const auto* why = std::get_if<std::string>(&counted)) {
      tell("tarnwick: warning: pending runs not read: {}\n", printable(*why));
      continue;
    }
    const size_t waiting = std::get<size_t>(counted);
    if (waiting > 0) {
      tell(
          "tarnwick: {} of runs that --save could not store wait in '{}'; the next "
          "command that writes the history stores them\n",
          plural(waiting, "document"), printable(file));
    }
  }
  const auto listing = history.list(HistoryFilter{options.host, options.label, options.last});
  if (auto* failure = std::get_if<std::string>(&listing)) return fail(*failure);
  const std::string text =
      options.json ? ascii_json_text(listing_json(*path, std::get<HistoryListing>(listing)))
                   : listing_text(*path, std::get<HistoryListing>(listing),
                                  style_for(stdout, ColorChoice::never).utf8);
  if (const auto failure = write_standard_output(text)) return fail(*failure);
  return EXIT_OK;
}

}  // namespace tarnwick
