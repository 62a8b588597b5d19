#include "store/history.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "store/documents.hpp"
#include "store/listing.hpp"
#include "store/pending.hpp"
#include "util/json.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-store-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
};

// A document as the program writes it, with `runs` runs of `host`.
LoadedDocument document(const std::string& host, const std::string& id_prefix, int runs,
                        double rate = 1000) {
  LoadedDocument entry;
  entry.schema_version = 1;
  entry.library_version = "0.0.2";
  entry.hostname = host;
  entry.timestamp = "2026-12-07T23:50:01Z";
  entry.cpu_model = "Test CPU";
  entry.arch = "x86_64";
  Json json = {{"schema_version", 1},
               {"program", "tarnwick"},
               {"status", "completed"},
               {"library", {{"version", "0.0.2"}}},
               {"environment", {{"hostname", host}}},
               {"runs", Json::array()},
               {"warnings", Json::array()}};
  for (int index = 0; index < runs; ++index) {
    LoadedRun run;
    run.id = fmt::format("{}{:0>{}}", id_prefix, index, 32 - id_prefix.size());
    run.label = "single";
    run.repetition = static_cast<unsigned>(index + 1);
    run.status = Status::completed;
    run.threads = 1;
    run.mean_rate = rate + index;
    run.cv_percent = 2.5;
    run.started = fmt::format("2026-12-07T23:5{}:0{}.000Z", index / 10 % 10, index % 10);
    // The second sample's rate is written as an integer, as a hand-made
    // document might: it must come back as one.
    Json samples =
        Json::array({{{"time", 1.0}, {"duration", 1.0}, {"operations", 1000}, {"rate", rate + 0.5}},
                     {{"time", 2.0}, {"duration", 1.0}, {"operations", 999}, {"rate", 999}}});
    run.json = Json{
        {"id", run.id},
        {"label", "single"},
        {"mean_rate", *run.mean_rate},
        {"samples",
         samples}}.dump();
    json["warnings"].push_back({{"run", run.id}, {"kind", "unstable"}, {"text", "t"}});
    entry.runs.push_back(run);
  }
  entry.json = json.dump();
  return entry;
}

template <typename T>
T ok(std::variant<T, std::string> outcome) {
  if (auto* failure = std::get_if<std::string>(&outcome)) {
    ADD_FAILURE() << *failure;
    return T{};
  }
  return std::get<T>(std::move(outcome));
}

template <typename T>
T ok(std::variant<T, WriteFailure> outcome) {
  if (auto* failure = std::get_if<WriteFailure>(&outcome)) {
    ADD_FAILURE() << failure->text;
    return T{};
  }
  return std::get<T>(std::move(outcome));
}

History open_ok(const fs::path& path, Access access) {
  auto opened = History::open(path.string(), access);
  if (auto* failure = std::get_if<std::string>(&opened)) {
    throw std::runtime_error("open failed: " + *failure);
  }
  return std::get<History>(std::move(opened));
}

std::vector<std::string> export_lines(History& history) {
  std::vector<std::string> lines;
  std::string text;
  EXPECT_EQ(history.export_documents([&](std::string_view piece) {
    text += piece;
    return true;
  }),
            std::nullopt);
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// Every file of a directory with its bytes: what "left unchanged" means.
std::map<std::string, std::string> snapshot(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files[entry.path().filename().string()] = bytes.str();
  }
  return files;
}

void sql(const fs::path& path, const std::string& statements) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST(History, StoresListsSkipsKnownRunsAndExportsWhatItRead) {
  TempDir dir;
  const fs::path path = dir.path / "deep" / "er" / "history.db";
  History history = open_ok(path, Access::write);
  const SaveCounts first =
      ok(history.save({document("node01", "a", 3), document("node02", "b", 2)}));
  EXPECT_EQ(first.stored, 5u);
  // The same runs again, and a document repeating one run inside itself.
  LoadedDocument twice = document("node01", "c", 1);
  twice.runs.push_back(twice.runs[0]);
  const SaveCounts second = ok(history.save({document("node01", "a", 3), twice}));
  EXPECT_EQ(second.stored, 1u);
  EXPECT_EQ(second.skipped, 4u);

  const HistoryListing all = ok(history.list({}));
  EXPECT_EQ(all.total, 6);
  ASSERT_EQ(all.runs.size(), 6u);
  // Oldest first by the run's start.
  EXPECT_TRUE(
      std::is_sorted(all.runs.begin(), all.runs.end(),
                     [](const ListedRun& a, const ListedRun& b) { return a.started < b.started; }));
  const HistoryListing node01 = ok(history.list({"node01", "single", 2}));
  EXPECT_EQ(node01.total, 4);
  ASSERT_EQ(node01.runs.size(), 2u);
  ASSERT_EQ(node01.series.size(), 1u);
  EXPECT_EQ(node01.series[0].means, (std::vector<double>{1000, 1000, 1001, 1002}));
  const std::string text = listing_text(path.string(), all, true);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(path.string()) == std::string::npos) {
      EXPECT_LE(line.size() - (line.find('\342') != std::string::npos ? 60 : 0), 80u) << line;
    }
  }

  // Exported lines go into another history and come back byte for byte.
  const std::vector<std::string> exported = export_lines(history);
  ASSERT_EQ(exported.size(), 3u);
  const Json line = Json::parse(exported[0]);
  EXPECT_EQ(line["runs"].size(), 3u);
  EXPECT_TRUE(line["runs"][0]["samples"][1]["rate"].is_number_integer());
  History copy = open_ok(dir.path / "copy.db", Access::write);
  std::vector<LoadedDocument> again;
  for (const std::string& text_line : exported) {
    const Json parsed = Json::parse(text_line);
    LoadedDocument entry = document(parsed["environment"]["hostname"], "", 0);
    Json envelope = parsed;
    envelope["runs"] = Json::array();
    entry.json = envelope.dump();
    for (const Json& run : parsed["runs"]) {
      LoadedRun stored;
      stored.id = run["id"];
      stored.label = "single";
      stored.status = Status::completed;
      stored.threads = 1;
      stored.mean_rate = run["mean_rate"].get<double>();
      stored.cv_percent = 2.5;
      stored.started = "2026-12-07T23:50:00.000Z";
      stored.json = run.dump();
      entry.runs.push_back(std::move(stored));
    }
    again.push_back(entry);
  }
  EXPECT_EQ(ok(copy.save(again)).stored, 6u);
  EXPECT_EQ(export_lines(copy), exported);

  // Removal by a prefix takes the run, its samples and its warning along.
  EXPECT_EQ(history.remove({"b0000000"}).index(), 1u);  // two runs share the prefix
  EXPECT_EQ(ok(history.list({})).total, 6);
  EXPECT_EQ(history.remove({"b0000000000000000000000000000001", "c000"}).index(), 1u);
  EXPECT_EQ(ok(history.list({})).total, 6);  // a short prefix removes nothing at all
  EXPECT_EQ(ok(history.remove({"b0000000000000000000000000000001"})), 1u);
  const std::vector<std::string> after = export_lines(history);
  EXPECT_EQ(Json::parse(after[1])["runs"].size(), 1u);
  EXPECT_EQ(Json::parse(after[1])["warnings"].size(), 1u);
}

// A sample's row (its four numbers, the noise's eight figures, disturbed)
// as an export writes it: without noise where disturbed is null.
Json sample_as_written(const std::vector<Json>& sample) {
  Json written = {
      {"time", sample[0]}, {"duration", sample[1]}, {"operations", sample[2]}, {"rate", sample[3]}};
  if (sample[12].is_null()) return written;
  Json noise;
  size_t column = 4;
  for (const char* key :
       {"steal_percent", "other_cpus", "other_cpus_run", "cpu_pressure_percent",
        "throttled_percent", "throttled_periods", "thermal_events", "frequency_mhz"}) {
    noise[key] = sample[column++];
  }
  noise["disturbed"] = sample[12] != 0;
  written["noise"] = std::move(noise);
  return written;
}

// The export as a whole-document dump writes it: each stored document
// parsed, its runs and their samples put in as JSON values, the warnings of
// runs gone left out, the whole dumped on one line. The streamed export must
// give these bytes exactly.
std::string whole_document_export(const fs::path& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  const auto rows = [db](const std::string& query) {
    std::vector<std::vector<Json>> found;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr), SQLITE_OK) << query;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<Json>& row = found.emplace_back();
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        switch (sqlite3_column_type(statement, column)) {
          case SQLITE_INTEGER: {
            const int64_t value = sqlite3_column_int64(statement, column);
            row.push_back(value >= 0 ? Json(static_cast<uint64_t>(value)) : Json(value));
            break;
          }
          case SQLITE_TEXT:
            row.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
            break;
          case SQLITE_NULL:
            row.emplace_back(nullptr);
            break;
          default:
            row.emplace_back(sqlite3_column_double(statement, column));
        }
      }
    }
    sqlite3_finalize(statement);
    return found;
  };
  std::string text;
  for (const auto& stored : rows("SELECT doc, json FROM documents ORDER BY doc")) {
    Json document = Json::parse(stored[1].get<std::string>());
    Json kept = Json::array();
    std::set<std::string> ids;
    const std::string doc = stored[0].dump();
    for (const auto& row :
         rows("SELECT key, id, json FROM runs WHERE doc = " + doc + " ORDER BY key")) {
      Json run = Json::parse(row[2].get<std::string>());
      ids.insert(row[1].get<std::string>());
      // A number stored as null is read as SQLite reads it, 0.0; the noise
      // as stored, a sample without it (null disturbed) written without.
      for (const auto& sample :
           rows("SELECT coalesce(time, 0.0), coalesce(duration, 0.0), coalesce(operations, 0.0), "
                "coalesce(rate, 0.0), steal_percent, other_cpus, other_cpus_run, "
                "cpu_pressure_percent, throttled_percent, throttled_periods, thermal_events, "
                "frequency_mhz, disturbed FROM samples WHERE run = " +
                row[0].dump() + " ORDER BY idx")) {
        run["samples"].push_back(sample_as_written(sample));
      }
      kept.push_back(std::move(run));
    }
    document["runs"] = std::move(kept);
    if (document.contains("warnings") && document["warnings"].is_array()) {
      Json warnings = Json::array();
      for (Json& warning : document["warnings"]) {
        if (!(warning.contains("run") && ids.count(warning["run"].get<std::string>()) == 0)) {
          warnings.push_back(std::move(warning));
        }
      }
      document["warnings"] = std::move(warnings);
    }
    text += json_line(document) + "\n";
  }
  sqlite3_close(db);
  return text;
}

TEST(History, TheStreamedExportIsTheWholeDocumentsText) {
  TempDir dir;
  const fs::path path = dir.path / "history.db";
  {
    History history = open_ok(path, Access::write);
    EXPECT_EQ(ok(history.save({document("node01", "a", 3),
                               document("n\xc3\xb6"
                                        "de\"02\n",
                                        "b", 2),
                               document("node03", "c", 1), document("node04", "d", 2)}))
                  .stored,
              8u);
    EXPECT_EQ(ok(history.remove({fmt::format("a{:0>31}", 1)})), 1u);
  }
  // Shapes the program's own documents do not have, and samples of every
  // kind of number, many enough to span several pieces.
  std::string plant =
      "BEGIN;"
      "UPDATE documents SET json = '{\"schema_version\":1,\"warnings\":[{\"run\":\"x\"}]}' "
      "WHERE doc = 3;"
      "UPDATE documents SET json = 'null' WHERE doc = 4;"
      "UPDATE runs SET json = '{\"id\":\"b\",\"samples\":null,\"z\":[1,{\"k\":\"\\u00e9\\t\"}]}' "
      "WHERE key = 4;"
      "UPDATE runs SET json = '{\"id\":\"c\"}' WHERE key = 6;"
      "UPDATE runs SET json = '{}' WHERE key = 7;"
      "INSERT INTO samples (run, idx, time, duration, operations, rate) VALUES (1, 0, 1.5, 1.0, "
      "10, 0.1), (1, 1, 2, 1e-7, -3, 1e20),"
      "(4, 0, 1, 1, 18446744073709551615, 9007199254740993), (4, 1, 2, 0.5, 1, -0.0),"
      "(7, 0, 3, NULL, 1, 2.5);"
      // Seconds with their noise: every figure, some absent, none disturbed.
      "INSERT INTO samples VALUES (1, 2, 3, 1, 5, 5.0, 14.25, 0.75, NULL, 30, 12.5, 3, 2, "
      "2601.5, 1), (1, 3, 4, 1, 5, 5.0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0);";
  for (int index = 0; index < 5000; ++index) {
    plant += fmt::format(
        "INSERT INTO samples (run, idx, time, duration, operations, rate) "
        "VALUES (6, {}, {}.25, 1.000213, {}, {});",
        index, index + 1, 90000 + index, 90000.0 / (index + 3));
  }
  sql(path, plant + "COMMIT;");
  History history = open_ok(path, Access::read);
  std::string streamed;
  size_t pieces = 0;
  EXPECT_EQ(history.export_documents([&](std::string_view piece) {
    EXPECT_LE(piece.size(), EXPORT_PIECE_BYTES + 4096);
    streamed += piece;
    ++pieces;
    return true;
  }),
            std::nullopt);
  EXPECT_GT(pieces, 3u);
  EXPECT_EQ(streamed, whole_document_export(path));
  // A refusing output stops the export at once, and the failure is the caller's to tell.
  size_t calls = 0;
  EXPECT_EQ(history.export_documents([&](std::string_view) { return ++calls < 2; }), std::nullopt);
  EXPECT_EQ(calls, 2u);
}

// A document as the reader takes it from a file: one run of two samples.
LoadedDocument read_back(double rate) {
  const std::string text = fmt::format(
      R"({{"schema_version":1,"program":"tarnwick","status":"completed",
      "library":{{"version":"0.0.2","abi_version":1}},
      "environment":{{"timestamp":"2026-12-07T23:50:01Z","hostname":"node01",
        "cpu":{{"arch":"x86_64","model":"Test CPU"}}}},
      "runs":[{{"id":"0123456789abcdef0123456789abcdef","label":"single","repetition":1,
        "started":"2026-12-07T23:50:01.000Z","ended":"2026-12-07T23:50:03.000Z","status":0,
        "reason":"","threads":1,"mean_rate":{},"measured_seconds":2.0,"cv_percent":1.0,
        "has_cv":true,"unstable":false,"operations":2000,"checksum":7,"sample_count":2,
        "samples":[{{"time":1.0,"duration":1.0,"operations":1000,"rate":1000.5}},
                   {{"time":2.0,"duration":1.0,"operations":1000,"rate":999}}]}}],
      "warnings":[]}})",
      rate);
  auto read = read_document(text, HISTORY_READING);
  if (auto* reason = std::get_if<std::string>(&read)) throw std::runtime_error(*reason);
  return std::get<LoadedDocument>(std::move(read));
}

std::optional<std::string> import_one(History& history, const LoadedDocument& document,
                                      SaveCounts& counts, int64_t checked_up_to) {
  bool given = false;
  return history.import(
      [&]() -> std::optional<LoadedDocument> {
        if (std::exchange(given, true)) return std::nullopt;
        return document;
      },
      counts, checked_up_to);
}

TEST(History, ARunStoredWithOtherFiguresIsAConflictReadOrStoring) {
  TempDir dir;
  History history = open_ok(dir.path / "history.db", Access::write);
  SaveCounts counts;
  EXPECT_EQ(import_one(history, read_back(1000), counts, ALL_STORED_CHECKED), std::nullopt);
  EXPECT_EQ(counts.stored, 1u);
  const std::vector<std::string> exported = export_lines(history);

  // Before anything is stored: the run compared as read back from the store.
  for (const double rate : {1000.0, 2000.0}) {
    SeenRuns seen;
    const LoadedDocument given = read_back(rate);
    EXPECT_EQ(seen.offer(given, given.runs[0], "'b.json'"), SeenRuns::Seen::first);
    const StoredCheck check = ok(history.check_stored(seen));
    EXPECT_EQ(check.checked_up_to, 1);
    if (rate == 1000.0) {
      EXPECT_TRUE(check.conflicts.empty()) << check.conflicts.listed()[0];
    } else {
      ASSERT_EQ(check.conflicts.count(), 1u);
      EXPECT_EQ(check.conflicts.listed()[0],
                "run 0123456789abcdef0123456789abcdef: 'b.json' gives it other figures than the "
                "history holds (mean_rate 2000 and 1000)");
    }
  }
  // A run stored since that check is compared as it is met, and stops the
  // import; the same run again is skipped.
  counts = {};
  const auto failure = import_one(history, read_back(2000), counts, 0);
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find("other figures than the history holds (mean_rate 2000 and 1000); "
                          "nothing of its document was stored"),
            std::string::npos)
      << *failure;
  EXPECT_EQ(counts.stored + counts.skipped, 0u);
  EXPECT_EQ(import_one(history, read_back(1000), counts, 0), std::nullopt);
  EXPECT_EQ(counts.skipped, 1u);
  EXPECT_EQ(export_lines(history), exported);
}

TEST(History, BaselineTakesTheLatestComparableCompletedRuns) {
  TempDir dir;
  History history = open_ok(dir.path / "h.db", Access::write);
  LoadedDocument other_version = document("node01", "f", 2);
  other_version.library_version = "0.0.3";
  ASSERT_EQ(
      ok(history.save({document("node01", "a", 12), document("node02", "b", 3), other_version}))
          .stored,
      17u);
  // Newest first, of the host and label only: the caller judges the rest.
  std::vector<BaselineRun> runs;
  ASSERT_EQ(history.baseline_candidates("node01", "single", {"a0000000000000000000000000000011"},
                                        [&](BaselineRun run) {
                                          runs.push_back(std::move(run));
                                          return runs.size() < 20;
                                        }),
            std::nullopt);
  ASSERT_EQ(runs.size(), 13u);  // 11 of "a" and the 0.0.3 document's 2, newest first
  EXPECT_EQ(runs.back().run.id, "a0000000000000000000000000000000");
  const auto found = std::find_if(runs.begin(), runs.end(), [](const BaselineRun& run) {
    return run.run.id == "a0000000000000000000000000000010";
  });
  ASSERT_NE(found, runs.end());
  EXPECT_EQ(found->run.mean_rate, 1010);  // the run of index 10
  EXPECT_EQ(found->run.cpu_model, "Test CPU");
  EXPECT_EQ(run_key(found->run), run_key("node01", "single", 1, "0.0.2", found->run.arch,
                                         std::optional<std::string>("test  cpu")));
}

// Each file is refused, for writing and for reading, and the directory holds
// the same files with the same bytes afterwards: no journal, WAL or
// shared-memory file appears either.
TEST(History, RefusesWhatIsNotAGoodHistoryAndLeavesItUnchanged) {
  TempDir dir;
  const fs::path good = dir.path / "good.db";
  {
    History history = open_ok(good, Access::write);
    ASSERT_EQ(ok(history.save({document("node01", "a", 40)})).stored, 40u);
  }
  const auto damaged_copy = [&](const std::string& name, auto damage) {
    fs::path copy = dir.path / name / "history.db";
    fs::create_directories(copy.parent_path());
    fs::copy_file(good, copy);
    damage(copy);
    return copy;
  };
  struct Case {
    fs::path path;
    std::string reason;
  };
  std::vector<Case> cases;
  {
    const fs::path text = dir.path / "text" / "history.db";
    fs::create_directories(text.parent_path());
    std::ofstream(text) << "runs: 3\n";
    cases.push_back({text, "not an SQLite database"});
  }
  for (const std::string mode : {"wal", "delete"}) {
    const fs::path other = dir.path / ("other-" + mode) / "app.db";
    fs::create_directories(other.parent_path());
    sql(other, "PRAGMA journal_mode=" + mode + "; CREATE TABLE t(x); INSERT INTO t VALUES (1);");
    cases.push_back({other, "another program"});
  }
  cases.push_back(
      {damaged_copy("newer", [](const fs::path& copy) { sql(copy, "PRAGMA user_version = 9"); }),
       "newer tarnwick (history version 9"});
  cases.push_back({damaged_copy("truncated",
                                [](const fs::path& copy) {
                                  fs::resize_file(copy, fs::file_size(copy) / 2 / 4096 * 4096);
                                }),
                   "damaged"});
  cases.push_back(
      {damaged_copy("scrambled",
                    [](const fs::path& copy) {
                      // Every page after the first, the tables' roots among them.
                      std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
                      file.seekp(4096);
                      const std::string noise(fs::file_size(copy) - 4096, '\x5a');
                      file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
                    }),
       "damaged"});
  for (const Case& one : cases) {
    const auto before = snapshot(one.path.parent_path());
    for (const Access access : {Access::write, Access::read}) {
      auto opened = History::open(one.path.string(), access);
      ASSERT_EQ(opened.index(), 1u) << one.path;
      const std::string& text = std::get<std::string>(opened);
      EXPECT_NE(text.find(one.reason), std::string::npos) << text;
      EXPECT_NE(text.find("left unchanged"), std::string::npos) << text;
    }
    EXPECT_EQ(snapshot(one.path.parent_path()), before) << one.path;
  }

  // An empty file is a new history.
  const fs::path empty = dir.path / "empty.db";
  { const std::ofstream file(empty); }
  History fresh = open_ok(empty, Access::write);
  EXPECT_EQ(ok(fresh.save({document("node01", "e", 1)})).stored, 1u);
}

// Two processes save into one new file at once, each opening the history
// afresh for every document as separate runs would: nothing is lost.
TEST(History, ProcessesSavingAtOnceLoseNothing) {
  TempDir dir;
  const fs::path path = dir.path / "new" / "history.db";
  constexpr int PER_PROCESS = 30;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::vector<pid_t> children;
  for (const char* prefix : {"a", "b"}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      char go = 0;
      close(ready[1]);
      if (read(ready[0], &go, 1) != 1) _exit(3);
      for (int index = 0; index < PER_PROCESS; ++index) {
        auto opened = History::open(path.string(), Access::write);
        if (opened.index() != 0) {
          fprintf(stderr, "%s\n", std::get<std::string>(opened).c_str());
          _exit(1);
        }
        auto saved = std::get<History>(opened).save(
            {document("node01", fmt::format("{}{:03}", prefix, index), 1)});
        if (saved.index() != 0) {
          fprintf(stderr, "%s\n", std::get<WriteFailure>(saved).text.c_str());
          _exit(2);
        }
      }
      _exit(0);
    }
    children.push_back(child);
  }
  close(ready[0]);
  ASSERT_EQ(write(ready[1], "gg", 2), 2);  // both start together
  close(ready[1]);
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  History history = open_ok(path, Access::read);
  EXPECT_EQ(ok(history.list({})).total, 2 * PER_PROCESS);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// What --save does with a failure depends on this: a history that cannot
// take a write now is worth keeping the run for; one that refuses is not.
TEST(History, TellsAHistoryThatCannotWriteNowFromOneThatRefuses) {
  TempDir dir;
  const fs::path path = dir.path / "history.db";
  {
    History history = open_ok(path, Access::write);
    ok(history.save({document("node01", "a", 1)}));
  }
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto locked = History::open_for_writing(path.string(), std::chrono::milliseconds(50));
  ASSERT_TRUE(std::holds_alternative<WriteFailure>(locked));
  EXPECT_TRUE(std::get<WriteFailure>(locked).unavailable);
  EXPECT_NE(std::get<WriteFailure>(locked).text.find("locked by another process for 50 ms"),
            std::string::npos)
      << std::get<WriteFailure>(locked).text;
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);

  const fs::path text = dir.path / "notes.db";
  std::ofstream(text) << std::string(4096, 'x');
  auto refused = History::open_for_writing(text.string());
  ASSERT_TRUE(std::holds_alternative<WriteFailure>(refused));
  EXPECT_FALSE(std::get<WriteFailure>(refused).unavailable);
}

// Two processes append while this one takes the file again and again, as
// --save and the next writing command would: every line is taken exactly
// once or still waits, none is lost to a file taken away under a writer.
TEST(PendingFile, AppendsRacingTakesLoseNoLine) {
  TempDir dir;
  const std::string path = pending_beside((dir.path / "history.db").string());
  constexpr int PER_PROCESS = 200;
  std::vector<pid_t> children;
  for (const char* name : {"a", "b"}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int index = 0; index < PER_PROCESS; ++index) {
        if (keep_pending({path}, fmt::format("{}{}", name, index)).index() != 0) _exit(1);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  std::multiset<std::string> seen;
  const auto take_all = [&] {
    auto taken = PendingFile::take(path);
    ASSERT_EQ(taken.index(), 0u) << std::get<std::string>(taken);
    auto& file = std::get<std::optional<PendingFile>>(taken);
    if (!file) return;
    std::istringstream lines(file->text());
    for (std::string line; std::getline(lines, line);) seen.insert(line);
    // Held a while, as storing the runs would: appenders queue on the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    file->done();
  };
  for (int round = 0; round < 400; ++round) take_all();
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  take_all();
  EXPECT_EQ(seen.size(), 2u * PER_PROCESS);
  for (const char* name : {"a", "b"}) {
    for (int index = 0; index < PER_PROCESS; ++index) {
      EXPECT_EQ(seen.count(fmt::format("{}{}", name, index)), 1u);
    }
  }
  EXPECT_FALSE(fs::exists(path));
}

TEST(History, RemembersDeletedIdsUntilUndeleted) {
  TempDir dir;
  History history = open_ok(dir.path / "history.db", Access::write);
  const LoadedDocument three = document("node01", "b", 3);
  EXPECT_EQ(ok(history.save({three})).stored, 3u);
  EXPECT_EQ(ok(history.remove({three.runs[1].id})), 1u);
  const SaveCounts again = ok(history.save({three}));
  EXPECT_EQ((std::tuple{again.stored, again.skipped, again.deleted}), (std::tuple{0u, 2u, 1u}));
  // Not deleted, or named too briefly: refused, nothing changed.
  EXPECT_TRUE(std::holds_alternative<std::string>(history.undelete({three.runs[0].id})));
  EXPECT_TRUE(std::holds_alternative<std::string>(history.undelete({"b0"})));
  EXPECT_EQ(ok(history.undelete({three.runs[1].id.substr(0, 31)})), 1u);
  EXPECT_EQ(ok(history.save({three})).stored, 1u);
  // --delete and --undelete name a run by one rule, each in its own words.
  EXPECT_EQ(std::get<std::string>(history.remove({"b0000000"})),
            "--delete: 'b0000000' names more than one stored run; give more of the id");
  EXPECT_EQ(ok(history.remove({three.runs[1].id, three.runs[2].id})), 2u);
  EXPECT_EQ(std::get<std::string>(history.undelete({"b0000000"})),
            "--undelete: 'b0000000' names more than one deleted run; give more of the id");
  EXPECT_EQ(std::get<std::string>(history.remove({"b000"})),
            "--delete: no stored run has the id 'b000' (give at least 8 characters); nothing was "
            "removed");
  EXPECT_EQ(std::get<std::string>(history.undelete({"b0000000000000000000000000000009"})),
            "--undelete: no deleted run has the id 'b0000000000000000000000000000009'; nothing "
            "was changed");
}

}  // namespace
}  // namespace tarnwick
