#include "output/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-out-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void put(const std::string& file, const std::string& text) { std::ofstream(file) << text; }
  static std::string read(const std::string& file) {
    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  static OutputFile open_ok(const std::string& file) {
    auto opened = OutputFile::open(file);
    if (auto* message = std::get_if<std::string>(&opened)) ADD_FAILURE() << *message;
    return std::move(std::get<OutputFile>(opened));
  }

  fs::path dir_;
};

TEST_F(AtomicFile, ReplacesOnlyWhenCommittedAndKeepsTheMode) {
  const std::string target = path("keep.csv");
  put(target, "precious\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  {
    OutputFile output = open_ok(target);
    // The temporary file exists from the start, beside the target, and its
    // name does not end in the target's extension.
    ASSERT_EQ(entries(), 2u);
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path() != target) {
        EXPECT_NE(entry.path().extension(), ".csv") << entry.path();
      }
    }
    EXPECT_EQ(read(target), "precious\n");
  }
  // Never committed: the target is as it was and nothing is left behind.
  EXPECT_EQ(read(target), "precious\n");
  EXPECT_EQ(entries(), 1u);

  OutputFile output = open_ok(target);
  ASSERT_FALSE(output.commit("new\n").has_value());
  EXPECT_EQ(read(target), "new\n");
  EXPECT_EQ(entries(), 1u);
  struct stat info {};
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(output.commit("again").has_value());
}

TEST_F(AtomicFile, NewFilesFollowTheUmask) {
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
    const mode_t previous = umask(mask);
    const std::string target = path("new-" + std::to_string(mask));
    OutputFile output = open_ok(target);
    ASSERT_FALSE(output.commit("x").has_value());
    umask(previous);
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask) << mask;
  }
}

TEST_F(AtomicFile, FollowsAFinalSymlinkAndWritesDevicesDirectly) {
  const std::string real = path("real.svg");
  put(real, "old");
  fs::create_symlink("real.svg", path("link.svg"));
  fs::create_symlink("missing.svg", path("dangling.svg"));
  for (const char* name : {"link.svg", "dangling.svg"}) {
    OutputFile output = open_ok(path(name));
    ASSERT_FALSE(output.commit(name).has_value());
    EXPECT_TRUE(fs::is_symlink(path(name))) << name;
    EXPECT_EQ(read(path(name)), name);
  }
  EXPECT_EQ(read(path("missing.svg")), "dangling.svg");
  OutputFile null = open_ok("/dev/null");
  EXPECT_FALSE(null.commit("gone").has_value());
  OutputFile full = open_ok("/dev/full");
  EXPECT_NE(full.commit("x").value_or("").find("cannot write '/dev/full': No space left"),
            std::string::npos);
}

TEST_F(AtomicFile, ABadPathFailsAtOnce) {
  for (const std::string& bad : {path("no/such/dir.csv"), dir_.string(), std::string("/proc/x")}) {
    auto opened = OutputFile::open(bad);
    ASSERT_TRUE(std::holds_alternative<std::string>(opened)) << bad;
    EXPECT_EQ(std::get<std::string>(opened).rfind("cannot write '" + bad + "': ", 0), 0u)
        << std::get<std::string>(opened);
  }
}

TEST_F(AtomicFile, ClashesCompareFilesNotTexts) {
  put(path("a.csv"), "");
  fs::create_hard_link(path("a.csv"), path("hard.csv"));
  fs::create_symlink("a.csv", path("soft.csv"));
  const auto clash = [](const std::string& csv, const std::string& plot, const char* owner = "") {
    return output_clash({{"--output", "", false}, {"--csv", csv, true}, {"--plot", plot, true}},
                        owner)
        .value_or("");
  };
  struct Case {
    std::string csv, plot;
    const char* owner;
    std::string message;  // part of it; empty: no clash
  };
  const std::string dot_path = (dir_ / "." / "a.csv").string();
  for (const Case& c :
       {Case{path("a.csv"), path("b.svg"), "", ""},
        Case{path("a.csv"), dot_path, "", "--csv and --plot name the same file"},
        Case{path("a.csv"), path("hard.csv"), "", "the same file"},
        Case{path("soft.csv"), path("a.csv"), "", "the same file"},
        Case{path("new.csv"), dir_.string() + "//new.csv", "", "the same file"},
        Case{"/dev/null", "/dev/null", "", ""},
        Case{"", path("b.svg"), "", "--csv: expected a file name, got ''"},
        Case{"-", "-", "", "--csv - and --plot - both write to standard output"},
        Case{"-", path("b.svg"), "", ""},
        Case{path("a.csv"), "-", "--json", "--plot - and --json both write to standard output"}}) {
    const std::string message = clash(c.csv, c.plot, c.owner);
    if (c.message.empty()) {
      EXPECT_EQ(message, "") << c.csv << " " << c.plot;
    } else {
      EXPECT_NE(message.find(c.message), std::string::npos)
          << c.csv << " " << c.plot << ": " << message;
    }
  }
}

}  // namespace
}  // namespace tarnwick
