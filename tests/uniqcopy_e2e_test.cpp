// Runs the built program as a user would: names piped on standard input, no
// terminal, and compares what it said, its status and every file it left.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "test_util.h"

using namespace std::string_literals;

namespace {

const std::string PROMPTS = "Enter the inputfile:Enter the outputfile:";
constexpr int FAILED = 255;  // What -1 becomes as a process status.

std::string Repeat(char c, size_t count) { return std::string(count, c); }

// Text as the target stores it: Windows text mode writes each LF as CR LF.
std::string Stored(const std::string& text) {
  if (!TargetIsWindows()) return text;
  std::string stored;
  for (char c : text) {
    if (c == '\n') stored += '\r';
    stored += c;
  }
  return stored;
}

enum class Kind { FILE, DIRECTORY, SYMLINK, HARDLINK, FIFO };

struct Entry {
  Kind kind;
  std::string name;
  std::string content;  // Bytes of a file, or what a link points to.
};

void Create(const TempDir& dir, const Entry& entry) {
  std::string path = dir / entry.name;
  int rc = 0;
  switch (entry.kind) {
    case Kind::FILE:
      WriteFileBytes(path, entry.content);
      break;
    case Kind::DIRECTORY:
      rc = ::mkdir(path.c_str(), 0777);
      break;
    case Kind::SYMLINK:
      rc = ::symlink(entry.content.c_str(), path.c_str());
      break;
    case Kind::HARDLINK:
      rc = ::link((dir / entry.content).c_str(), path.c_str());
      break;
    case Kind::FIFO:
      rc = ::mkfifo(path.c_str(), 0666);
      break;
  }
  ASSERT_EQ(rc, 0) << "cannot create " << path;
}

// Every name in the directory with what it holds, so that a comparison
// shows any file created, changed or removed.
std::map<std::string, std::string> Snapshot(const TempDir& dir) {
  std::map<std::string, std::string> entries;
  DIR* stream = ::opendir(dir.path().c_str());
  if (stream == nullptr) return entries;
  while (struct dirent* item = ::readdir(stream)) {
    std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir / name;
    struct stat info;
    ::lstat(path.c_str(), &info);
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      ssize_t length = ::readlink(path.c_str(), target, sizeof target);
      entries[name] = "<link to " + std::string(target, length > 0 ? length : 0) + ">";
    } else if (S_ISREG(info.st_mode)) {
      entries[name] = ReadFileBytes(path).value_or("<unreadable>");
    } else {
      entries[name] = S_ISDIR(info.st_mode) ? "<directory>" : "<special>";
    }
  }
  ::closedir(stream);
  return entries;
}

struct EndToEndCase {
  const char* name;
  std::vector<Entry> setup;
  std::string stdin_bytes;
  std::string expected_stdout;  // What follows the two prompts.
  int expected_status;
  // Files whose bytes differ after the run; all others must be unchanged.
  // Written with LF line ends, which on Windows are expected as CR LF.
  std::map<std::string, std::string> changed_files;
  bool posix_only = false;
  bool windows_only = false;
  // Exact bytes on Windows where the CR and 0x1A rules make them differ.
  std::optional<std::map<std::string, std::string>> windows_files = {};
};

// Names the case where a test's parameter is printed.
void PrintTo(const EndToEndCase& c, std::ostream* out) { *out << c.name; }

const std::string COLOURS = "red\nblue\nred\n\ngreen\n\nblue\n";
const std::string COLOURS_UNIQUE = "red\nblue\n\ngreen\n";
const std::string LINE_1023 = Repeat('x', 1023);
const std::string LINE_1024 = Repeat('y', 1024);

// Distinct CR LF lines whose last CR LF pair straddles the first 64 KiB
// read, so that the CR ends one read and its LF begins the next.
std::string CrLfLinesAcrossTheReadSize() {
  constexpr size_t READ_SIZE = 64 * 1024;
  std::string text;
  for (int i = 0; text.size() + 1000 < READ_SIZE - 1; ++i)
    text += std::to_string(i) + Repeat('-', 900) + "\r\n";
  text += Repeat('k', READ_SIZE - 1 - text.size()) + "\r\n";
  return text;
}
const std::string STRADDLING = CrLfLinesAcrossTheReadSize();

std::vector<EndToEndCase> Cases() {
  const Entry input{Kind::FILE, "in.txt", COLOURS};
  return {
      // The dialogue and the reading of names.
      {"CompleteRun", {input}, "in.txt out.txt\n", "Finished.", 0,
       {{"out.txt", COLOURS_UNIQUE}}},
      {"NamesOnTheirOwnLinesAfterEmptyLines", {input},
       "\n\n  in.txt\n\t\nout.txt\n", "Finished.", 0,
       {{"out.txt", COLOURS_UNIQUE}}},
      {"AnyWhitespaceSeparatesNames", {input}, "\r\v\fin.txt\f\v\rout.txt",
       "Finished.", 0, {{"out.txt", COLOURS_UNIQUE}}},
      {"WordsAfterTheOutputNameStayUnread", {input},
       "in.txt out.txt more words\n", "Finished.", 0,
       {{"out.txt", COLOURS_UNIQUE}}},
      {"ExistingOutputIsEmptiedFirst",
       {input, {Kind::FILE, "out.txt", "green\nold\n"}}, "in.txt out.txt",
       "Finished.", 0, {{"out.txt", COLOURS_UNIQUE}}},
      {"BlankSplitsAPath", {input, {Kind::FILE, "my in.txt", COLOURS}},
       "my in.txt out.txt\n", "Can not open file my for read.\n", FAILED, {}},

      // The runtime's narrow calls take a name's bytes in the ANSI code
      // page, which Wine stores as UTF-8.
      {"NonAsciiNameIsUsedAsTyped", {input}, "in.txt \xe9.txt", "Finished.",
       0, {{"\xe9.txt", COLOURS_UNIQUE}}, false, false,
       {{{"\xc3\xa9.txt", "red\r\nblue\r\n\r\ngreen\r\n"}}}},

      // The line rules.
      {"EmptyInput", {{Kind::FILE, "in.txt", ""}}, "in.txt out.txt",
       "Finished.", 0, {{"out.txt", ""}}},
      {"OnlyEmptyLines", {{Kind::FILE, "in.txt", "\n\n\n"}}, "in.txt out.txt",
       "Finished.", 0, {{"out.txt", "\n"}}},
      {"LastLineWithoutLineEndGetsOne", {{Kind::FILE, "in.txt", "a\nb\na"}},
       "in.txt out.txt", "Finished.", 0, {{"out.txt", "a\nb\n"}}},
      {"CaseBlanksAndTabsMakeLinesDiffer",
       {{Kind::FILE, "in.txt", "a b\nA b\n a b\na b \na\tb\na  b\na b\n"}},
       "in.txt out.txt", "Finished.", 0,
       {{"out.txt", "a b\nA b\n a b\na b \na\tb\na  b\n"}}},
      {"NulBytesArePartOfTheLine",
       {{Kind::FILE, "in.txt", "a\0b\na\0c\na\0b\n\0x\n\n\0x\n"s}},
       "in.txt out.txt", "Finished.", 0,
       {{"out.txt", "a\0b\na\0c\n\0x\n\n"s}}},
      {"CrAndCtrlZAreOrdinaryBytes",
       {{Kind::FILE, "in.txt", "a\r\na\r\na\nb\x1a" "c\nb\x1a" "c\n"}},
       "in.txt out.txt", "Finished.", 0,
       {{"out.txt", "a\r\na\nb\x1a" "c\n"}}, true},
      // CR, CR LF and 0x1A: ordinary bytes on POSIX, text mode on Windows.
      {"CrLfAndLfLineEndsGiveTheSameLines",
       {{Kind::FILE, "in.txt", "red\r\nblue\nred\nblue\r\n\r\n\n"}},
       "in.txt out.txt", "Finished.", 0,
       {{"out.txt", "red\r\nblue\nred\nblue\r\n\r\n\n"}}, false, false,
       {{{"out.txt", "red\r\nblue\r\n\r\n"}}}},
      {"CrBeforeTheLineEndStaysInTheLine",
       {{Kind::FILE, "in.txt", "a\r\r\na\r\na\r\r\nb\rc\r\nb\rc\n"}},
       "in.txt out.txt", "Finished.", 0,
       {{"out.txt", "a\r\r\na\r\nb\rc\r\nb\rc\n"}}, false, false,
       {{{"out.txt", "a\r\r\na\r\nb\rc\r\n"}}}},
      {"CrEndingTheInputStaysInTheLastLine",
       {{Kind::FILE, "in.txt", "a\r\na\r"}}, "in.txt out.txt", "Finished.", 0,
       {{"out.txt", "a\r\n"}}, false, false, {{{"out.txt", "a\r\na\r\r\n"}}}},
      {"CtrlZEndsTheInputOnWindows",
       {{Kind::FILE, "in.txt", "x\ny\x1az\nx\nw\n"}}, "in.txt out.txt",
       "Finished.", 0, {{"out.txt", "x\ny\x1az\nw\n"}}, false, false,
       {{{"out.txt", "x\r\ny\r\n"}}}},
      {"CtrlZAtALineStartEndsTheInputOnWindows",
       {{Kind::FILE, "in.txt", "x\n\x1ay\nx\n"}}, "in.txt out.txt",
       "Finished.", 0, {{"out.txt", "x\n\x1ay\n"}}, false, false,
       {{{"out.txt", "x\r\n"}}}},
      // The repeats are found only if both the input and the scans pair
      // the CR and LF across two reads.
      {"CrLfAcrossTheReadSize",
       {{Kind::FILE, "in.txt", STRADDLING + STRADDLING}}, "in.txt out.txt",
       "Finished.", 0, {{"out.txt", STRADDLING}}, false, false,
       {{{"out.txt", STRADDLING}}}},
      {"LongestLineIsCopiedAndRecognised",
       {{Kind::FILE, "in.txt", LINE_1023 + "\nx\n" + LINE_1023 + "\n" + LINE_1023}},
       "in.txt out.txt", "Finished.", 0, {{"out.txt", LINE_1023 + "\nx\n"}}},
      {"OverlongLineStopsTheCopy",
       {{Kind::FILE, "in.txt", "a\nb\na\n" + LINE_1024 + "\nc\n"}},
       "in.txt out.txt",
       "Can not copy file in.txt: line 4 is longer than 1023 characters.\n",
       FAILED, {{"out.txt", "a\nb\n"}}},
      {"OverlongLastLineWithoutLineEnd",
       {{Kind::FILE, "in.txt", "a\n" + LINE_1024}}, "in.txt out.txt",
       "Can not copy file in.txt: line 2 is longer than 1023 characters.\n",
       FAILED, {{"out.txt", "a\n"}}},

      // Names that do not lead to a usable pair of files.
      {"NoStandardInput", {}, "", "Can not open file  for read.\n", FAILED, {}},
      {"OnlyTheInputName", {input}, "in.txt\n",
       "Can not open file  for write.\n", FAILED, {}},
      {"MissingInputLeavesOutputAlone",
       {{Kind::FILE, "out.txt", "keep\n"}}, "missing.txt out.txt",
       "Can not open file missing.txt for read.\n", FAILED, {}},
      {"MissingInputAndUnusableOutput", {}, "missing.txt nodir/out.txt",
       "Can not open file missing.txt for read.\n", FAILED, {}},
      {"InputIsADirectory", {{Kind::DIRECTORY, "dir", ""}}, "dir out.txt",
       "Can not open file dir for read.\n", FAILED, {}},
      {"NulInAName", {input}, "in.txt\0x out.txt"s,
       "Can not open file in.txt\0x for read.\n"s, FAILED, {}},
      {"OutputInMissingDirectory", {input}, "in.txt nodir/out.txt",
       "Can not open file nodir/out.txt for write.\n", FAILED, {}},
      {"OutputIsADirectory", {input, {Kind::DIRECTORY, "dir", ""}},
       "in.txt dir", "Can not open file dir for write.\n", FAILED, {}},
      {"OutputIsTheInput", {input}, "in.txt in.txt",
       "Can not use file in.txt as output: it is the input file.\n", FAILED, {}},
      {"OutputIsTheInputByAnotherPath", {input, {Kind::DIRECTORY, "dir", ""}},
       "in.txt dir/../in.txt",
       "Can not use file dir/../in.txt as output: it is the input file.\n",
       FAILED, {}},
      {"OutputIsAHardLinkToTheInput", {input, {Kind::HARDLINK, "link", "in.txt"}},
       "in.txt link",
       "Can not use file link as output: it is the input file.\n", FAILED, {}},
      {"OutputIsASymbolicLinkToTheInput",
       {input, {Kind::SYMLINK, "link", "in.txt"}}, "link in.txt",
       "Can not use file in.txt as output: it is the input file.\n", FAILED, {}},
      {"OutputIsTheInputInOtherLetterCase", {input}, "in.txt IN.TXT",
       "Can not use file IN.TXT as output: it is the input file.\n", FAILED, {},
       false, true},
      {"OutputIsTheInputByABackslashPath", {input, {Kind::DIRECTORY, "dir", ""}},
       "in.txt dir\\..\\in.txt",
       "Can not use file dir\\..\\in.txt as output: it is the input file.\n",
       FAILED, {}, false, true},
      {"OutputIsAFifoWithoutReader", {input, {Kind::FIFO, "fifo", ""}},
       "in.txt fifo", "Can not open file fifo for write.\n", FAILED, {}, true},
      {"OutputIsTheNullDevice", {input}, "in.txt /dev/null",
       "Can not open file /dev/null for write.\n", FAILED, {}, true},
      {"OutputIsTheWindowsNullDevice", {input}, "in.txt NUL",
       "Can not open file NUL for write.\n", FAILED, {}, false, true},
      {"OutputIsTheWindowsNullDeviceInLowerCase", {input}, "in.txt nul",
       "Can not open file nul for write.\n", FAILED, {}, false, true},
      {"OutputIsTheWindowsConsole", {input}, "in.txt CON",
       "Can not open file CON for write.\n", FAILED, {}, false, true},
      {"InputReadFails", {}, "/proc/self/mem out.txt",
       "Can not read file /proc/self/mem.\n", FAILED, {{"out.txt", ""}}, true},
  };
}

class EndToEnd : public testing::TestWithParam<EndToEndCase> {};

TEST_P(EndToEnd, DialogueStatusAndFiles) {
  const EndToEndCase& c = GetParam();
  TempDir dir;
  for (const Entry& entry : c.setup) Create(dir, entry);
  std::map<std::string, std::string> expected = Snapshot(dir);
  if (TargetIsWindows() && c.windows_files) {
    for (const auto& [name, bytes] : *c.windows_files) expected[name] = bytes;
  } else {
    for (const auto& [name, bytes] : c.changed_files)
      expected[name] = Stored(bytes);
  }

  RunOptions options;
  options.working_directory = dir.path();
  RunResult run = RunProgram(c.stdin_bytes, options);

  ASSERT_FALSE(run.timed_out);
  ASSERT_FALSE(run.signalled);
  EXPECT_EQ(run.stdout_bytes, PROMPTS + Stored(c.expected_stdout));
  EXPECT_EQ(run.stderr_bytes, "");
  EXPECT_EQ(run.exit_status, c.expected_status);
  EXPECT_EQ(Snapshot(dir), expected);
}

// Only the cases that mean something on the target under test.
std::vector<EndToEndCase> CasesForTarget() {
  std::vector<EndToEndCase> cases;
  for (EndToEndCase& c : Cases()) {
    if (TargetIsWindows() ? !c.posix_only : !c.windows_only)
      cases.push_back(std::move(c));
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, testing::ValuesIn(CasesForTarget()),
                         [](const testing::TestParamInfo<EndToEndCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

namespace {

RunResult RunIn(const TempDir& dir, const std::string& stdin_bytes,
                RunOptions options = RunOptions()) {
  options.working_directory = dir.path();
  return RunProgram(stdin_bytes, options);
}

// The creation mode is 0664 less the umask, as for any file a tool creates;
// an output that exists keeps its own mode.
TEST(OutputMode, NewFileGetsReadWriteLessUmask) {
  if (TargetIsWindows()) GTEST_SKIP() << "POSIX permission bits";
  struct ModeCase {
    mode_t umask_bits;
    int expected_mode;
  };
  for (ModeCase c : {ModeCase{0, 0664}, ModeCase{022, 0644},
                     ModeCase{077, 0600}, ModeCase{0002, 0664}}) {
    TempDir dir;
    WriteFileBytes(dir / "in.txt", COLOURS);
    RunOptions options;
    options.umask_bits = c.umask_bits;
    RunResult run = RunIn(dir, "in.txt out.txt", options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(FileMode(dir / "out.txt"), c.expected_mode)
        << "umask " << std::oct << c.umask_bits;
  }
}

TEST(OutputMode, ExistingFileKeepsItsMode) {
  if (TargetIsWindows()) GTEST_SKIP() << "POSIX permission bits";
  TempDir dir;
  WriteFileBytes(dir / "in.txt", COLOURS);
  WriteFileBytes(dir / "out.txt", "old\n");
  ASSERT_EQ(::chmod((dir / "out.txt").c_str(), 0600), 0);
  EXPECT_EQ(RunIn(dir, "in.txt out.txt").exit_status, 0);
  EXPECT_EQ(FileMode(dir / "out.txt"), 0600);
  EXPECT_EQ(ReadFileBytes(dir / "out.txt"), COLOURS_UNIQUE);
}

std::string CountingLines(int count) {
  std::string lines;
  for (int i = 1; i <= count; ++i) lines += std::to_string(i * 7919) + "\n";
  return lines;
}

// A file size limit makes writes fail part-way through a line; the output
// must then end with the last whole line, never with part of one.
TEST(WriteFailure, LeavesWholeLinesAndSaysSo) {
  const std::string input = CountingLines(300);
  const std::string stored_input = Stored(input);
  for (long limit : {0L, 1L, 5L, 6L, 100L, 1000L}) {
    TempDir dir;
    WriteFileBytes(dir / "in.txt", input);
    RunOptions options;
    options.file_size_limit = limit;
    RunResult run = RunIn(dir, "in.txt out.txt", options);
    EXPECT_EQ(run.stdout_bytes,
              PROMPTS + Stored("Can not write file out.txt.\n"))
        << "limit " << limit;
    EXPECT_EQ(run.exit_status, FAILED);
    std::string output = ReadFileBytes(dir / "out.txt").value_or("<none>");
    EXPECT_LE(output.size(), static_cast<size_t>(limit));
    EXPECT_EQ(stored_input.compare(0, output.size(), output), 0)
        << "limit " << limit;
    EXPECT_TRUE(output.empty() || output.back() == '\n') << "limit " << limit;
    EXPECT_GT(output.size() + 8, static_cast<size_t>(limit))
        << "stopped before the limit " << limit;
    EXPECT_EQ(ReadFileBytes(dir / "in.txt"), input);
  }
}

TEST(WriteFailure, UnwritableStandardOutputFailsTheRun) {
  if (TargetIsWindows()) GTEST_SKIP() << "needs /dev/full";
  TempDir dir;
  WriteFileBytes(dir / "in.txt", COLOURS);
  RunOptions options;
  options.stdout_path = "/dev/full";
  RunResult run = RunIn(dir, "in.txt out.txt", options);
  EXPECT_EQ(run.exit_status, FAILED);
  EXPECT_EQ(ReadFileBytes(dir / "out.txt"), COLOURS_UNIQUE);
}

// Root may read and write anything, so these run as an unprivileged user.
struct PermissionCase {
  const char* name;
  const char* file;
  const char* content;
  mode_t mode;
  bool owned_by_nobody;
  mode_t directory_mode;
  std::string expected_stdout;
  const char* expected_output;  // Bytes of out.txt afterwards; null: none.
};

void PrintTo(const PermissionCase& c, std::ostream* out) { *out << c.name; }

class Permissions : public testing::TestWithParam<PermissionCase> {};

TEST_P(Permissions, RefusedBeforeAnyDamage) {
  const PermissionCase& c = GetParam();
  if (TargetIsWindows()) GTEST_SKIP() << "POSIX permission bits";
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  TempDir dir;
  WriteFileBytes(dir / "in.txt", COLOURS);
  std::string path = dir / c.file;
  if (std::string(c.file) != "in.txt") WriteFileBytes(path, c.content);
  ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
  if (c.owned_by_nobody) {
    ASSERT_EQ(::chown(path.c_str(), NOBODY_UID, NOBODY_GID), 0);
  }
  ASSERT_EQ(::chmod(dir.path().c_str(), c.directory_mode), 0);
  RunOptions options;
  options.as_nobody = true;
  RunResult run = RunIn(dir, "in.txt out.txt", options);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  EXPECT_EQ(run.stdout_bytes, PROMPTS + c.expected_stdout);
  EXPECT_EQ(run.exit_status, FAILED);
  EXPECT_EQ(ReadFileBytes(dir / "in.txt"), COLOURS);
  if (c.expected_output) {
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), std::string(c.expected_output));
  } else {
    EXPECT_FALSE(PathExists(dir / "out.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Permissions,
    testing::Values(
        PermissionCase{"UnreadableInput", "in.txt", "", 0200, false, 0777,
                       "Can not open file in.txt for read.\n", nullptr},
        PermissionCase{"ReadOnlyOutput", "out.txt", "keep\n", 0444, false,
                       0777, "Can not open file out.txt for write.\n",
                       "keep\n"},
        PermissionCase{"DirectoryClosedForNewFiles", "in.txt", "", 0644,
                       false, 0555, "Can not open file out.txt for write.\n",
                       nullptr},
        // Writable but not readable: every scan would find nothing and
        // repeats would be written, so the run stops at once.
        PermissionCase{"WriteOnlyOutput", "out.txt", "old\n", 0200, true,
                       0777, "Can not open file out.txt for read.\n", ""}),
    [](const testing::TestParamInfo<PermissionCase>& info) {
      return std::string(info.param.name);
    });

// A disk that fills up in the middle of a line: the line is cut off again,
// which on Windows means counting the CR that text mode adds to each LF.
TEST(EndToEndLimits, FullDiskKeepsWholeLines) {
  constexpr int LINES = 30, KEPT = 20;
  std::string input, kept;
  for (int i = 0; i < LINES; ++i) {
    std::string line = std::to_string(1000 + i) + Repeat('z', 96) + "\n";
    input += line;
    if (i < KEPT) kept += line;
  }
  TempDir dir;
  WriteFileBytes(dir / "in.txt", input);
  RunOptions options;
  options.working_directory = dir.path();
  // Room for KEPT lines of 101 (POSIX) or 102 (Windows) bytes, not more.
  options.file_size_limit = 2048;
  RunResult run = RunProgram("in.txt out.txt", options);

  ASSERT_FALSE(run.timed_out);
  ASSERT_FALSE(run.signalled);
  EXPECT_EQ(run.stdout_bytes,
            PROMPTS + Stored("Can not write file out.txt.\n"));
  EXPECT_EQ(run.exit_status, FAILED);
  EXPECT_EQ(ReadFileBytes(dir / "out.txt"), Stored(kept));
}

// Windows has only "may read" and "may write"; the output must not come
// out read-only there.
TEST(EndToEndLimits, CreatedOutputIsReadableAndWritable) {
  TempDir dir;
  WriteFileBytes(dir / "in.txt", "a\n");
  RunOptions options;
  options.working_directory = dir.path();
  options.umask_bits = 0;
  RunResult run = RunProgram("in.txt out.txt", options);

  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  int mode = FileMode(dir / "out.txt");
  if (TargetIsWindows())
    EXPECT_EQ(mode & 0600, 0600) << std::oct << mode;
  else
    EXPECT_EQ(mode, 0664) << std::oct << mode;
}

}  // namespace
