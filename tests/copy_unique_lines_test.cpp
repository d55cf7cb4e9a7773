// The line rules, the scan and the copy, on real files in a temporary
// directory.

#include "copy_unique_lines.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "file.h"
#include "test_util.h"

using namespace std::string_literals;

namespace {

std::string Repeat(char c, size_t count) { return std::string(count, c); }

// Long runs of one byte are shown as "c*N" so that a failing case stays
// readable.
std::string Render(const std::string& line) {
  if (line.size() > 8 && line.find_first_not_of(line[0]) == std::string::npos)
    return std::string(1, line[0]) + "*" + std::to_string(line.size());
  return line;
}

// Reads every line of `bytes` and renders what came out, so that a case is
// one comparison: each line in brackets, then how reading ended.
std::string ReadAllLines(const std::string& bytes) {
  TempDir dir;
  WriteFileBytes(dir / "in", bytes);
  File file;
  if (!file.OpenForRead(dir / "in")) return "<cannot open>";
  LineReader reader(&file);
  std::string rendered;
  char line[LINE_BUFFER_SIZE];
  for (;;) {
    size_t length = 0;
    switch (reader.ReadLine(line, &length)) {
      case LineReader::Result::LINE:
        rendered += "[" + Render(std::string(line, length)) + "]";
        continue;
      case LineReader::Result::END:
        return rendered + "END";
      case LineReader::Result::TOO_LONG:
        return rendered + "TOO_LONG";
      case LineReader::Result::READ_ERROR:
        return rendered + "READ_ERROR";
    }
  }
}

// Lines of 'p' that fill the first `size` bytes of a file, each 1000 bytes
// with its LF but the last; `rendered` is what ReadAllLines shows of them.
struct Filler {
  std::string bytes;
  std::string rendered;
};
Filler Fill(size_t size) {
  Filler filler;
  while (size > 0) {
    size_t line_size = size > 1000 ? 1000 : size;
    filler.bytes += std::string(line_size - 1, 'p') + "\n";
    filler.rendered += "[" + Render(std::string(line_size - 1, 'p')) + "]";
    size -= line_size;
  }
  return filler;
}

struct LineCase {
  const char* name;
  std::string bytes;
  std::string expected;
};

// Names the case where a test's parameter is printed.
void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

class LineReading : public testing::TestWithParam<LineCase> {};

TEST_P(LineReading, SplitsAsTheRulesSay) {
  EXPECT_EQ(ReadAllLines(GetParam().bytes), GetParam().expected);
}

// `line` and its LF, starting `before_boundary` bytes before the end of the
// first read, after filler lines that `rendered_before` shows.
struct Straddling {
  std::string bytes;
  std::string rendered_before;
};
Straddling StraddlingRead(size_t before_boundary, const std::string& line) {
  Filler filler = Fill(READ_BUFFER_SIZE - before_boundary);
  return {filler.bytes + line + "\n", filler.rendered};
}

const Straddling ACROSS = StraddlingRead(10, std::string(1000, 's'));
const Straddling OVERLONG_ACROSS = StraddlingRead(10, std::string(1024, 's'));
// The longest line fills the first read; its LF comes with the next.
const Straddling LF_IN_NEXT_READ = StraddlingRead(1023, std::string(1023, 's'));

INSTANTIATE_TEST_SUITE_P(
    Cases, LineReading,
    testing::Values(
        LineCase{"Empty", "", "END"},
        LineCase{"OneLine", "a\n", "[a]END"},
        LineCase{"LastLineWithoutLineEnd", "a\nb", "[a][b]END"},
        LineCase{"EmptyLines", "\n\na\n\n", "[][][a][]END"},
        LineCase{"CrAndNulAreBytes", "a\r\n\r\0b\n"s, "[a\r][\r\0b]END"s},
        LineCase{"LongestLine", Repeat('x', 1023) + "\nz", "[x*1023][z]END"},
        LineCase{"LongestLastLine", Repeat('x', 1023), "[x*1023]END"},
        LineCase{"OverlongLine", "a\n" + Repeat('x', 1024) + "\nb\n",
                 "[a]TOO_LONG"},
        LineCase{"OverlongLastLine", Repeat('x', 1024), "TOO_LONG"},
        LineCase{"LineAcrossTwoReads", ACROSS.bytes,
                 ACROSS.rendered_before + "[s*1000]END"},
        LineCase{"OverlongLineAcrossTwoReads", OVERLONG_ACROSS.bytes,
                 OVERLONG_ACROSS.rendered_before + "TOO_LONG"},
        LineCase{"LineEndFirstInSecondRead", LF_IN_NEXT_READ.bytes,
                 LF_IN_NEXT_READ.rendered_before + "[s*1023]END"}),
    [](const testing::TestParamInfo<LineCase>& info) {
      return std::string(info.param.name);
    });

TEST(LineReading, ReadErrorIsNotTheEnd) {
  // Reading /proc/self/mem at offset 0 fails with EIO.
  File file;
  ASSERT_TRUE(file.OpenForRead("/proc/self/mem"));
  LineReader reader(&file);
  char line[LINE_BUFFER_SIZE];
  size_t length = 0;
  EXPECT_EQ(reader.ReadLine(line, &length), LineReader::Result::READ_ERROR);
}

struct ScanCase {
  const char* name;
  std::string output;
  std::string line;
  bool found;
};

void PrintTo(const ScanCase& c, std::ostream* out) { *out << c.name; }

class Scan : public testing::TestWithParam<ScanCase> {};

// Every buffer size from 1 byte up makes each line cross reads somewhere.
TEST_P(Scan, FindsExactlyEqualLines) {
  const ScanCase& c = GetParam();
  TempDir dir;
  WriteFileBytes(dir / "out", c.output);
  for (size_t buffer_size : {1, 2, 3, 5, 7, 64, 4096}) {
    std::vector<char> buffer(buffer_size);
    ScanResult result = output_has_line(dir / "out", c.line.data(),
                                        c.line.size(), buffer.data(),
                                        buffer.size());
    EXPECT_EQ(result, c.found ? ScanResult::FOUND : ScanResult::NOT_FOUND)
        << "buffer of " << buffer_size;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Scan,
    testing::Values(
        ScanCase{"EmptyOutput", "", "a", false},
        ScanCase{"EmptyLineInEmptyOutput", "", "", false},
        ScanCase{"FirstLine", "abc\nde\n", "abc", true},
        ScanCase{"LaterLine", "abc\nde\n", "de", true},
        ScanCase{"PrefixIsNotEqual", "abc\n", "ab", false},
        ScanCase{"LongerIsNotEqual", "ab\n", "abc", false},
        ScanCase{"SuffixIsNotEqual", "xab\n", "ab", false},
        ScanCase{"EmptyLine", "a\n\nb\n", "", true},
        ScanCase{"NoEmptyLine", "a\nb\n", "", false},
        ScanCase{"LastLineWithoutLineEnd", "a\nbc", "bc", true},
        ScanCase{"PartOfLastLine", "a\nbc", "b", false},
        ScanCase{"BytesAfterNulCount", "a\0b\n"s, "a\0c"s, false},
        ScanCase{"NulLineFound", "x\n\0b\n"s, "\0b"s, true},
        ScanCase{"CrCounts", "a\r\n", "a", false},
        ScanCase{"LineAfterLongerOnes", "abcabc\nabcab\nabc\n", "abc", true}),
    [](const testing::TestParamInfo<ScanCase>& info) {
      return std::string(info.param.name);
    });

TEST(Scan, MissingOutputCannotBeOpened) {
  TempDir dir;
  char buffer[64];
  EXPECT_EQ(output_has_line(dir / "missing", "a", 1, buffer, sizeof buffer),
            ScanResult::CANNOT_OPEN);
}

struct CopyCase {
  const char* name;
  std::string input;
  std::string output;
  CopyOutcome::Status status;
  std::uint64_t line_number;
};

void PrintTo(const CopyCase& c, std::ostream* out) { *out << c.name; }

class Copy : public testing::TestWithParam<CopyCase> {};

TEST_P(Copy, WritesFirstOccurrencesInOrder) {
  const CopyCase& c = GetParam();
  TempDir dir;
  WriteFileBytes(dir / "in", c.input);
  File input, output;
  ASSERT_TRUE(input.OpenForRead(dir / "in"));
  ASSERT_TRUE(output.OpenForWrite(dir / "out"));
  CopyOutcome outcome = copy_unique_lines(input, output, dir / "out");
  EXPECT_TRUE(output.Close());
  EXPECT_EQ(outcome.status, c.status);
  if (c.status != CopyOutcome::Status::COPIED) {
    EXPECT_EQ(outcome.line_number, c.line_number);
  }
  EXPECT_EQ(ReadFileBytes(dir / "out"), c.output);
}

std::string NumberedLines(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += "line " + std::to_string(i) + "\n";
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Copy,
    testing::Values(
        CopyCase{"Colours", "red\nblue\nred\n\ngreen\n\nblue\n",
                 "red\nblue\n\ngreen\n", CopyOutcome::Status::COPIED, 0},
        CopyCase{"Empty", "", "", CopyOutcome::Status::COPIED, 0},
        CopyCase{"RepeatWithoutLineEnd", "a\nb\na", "a\nb\n",
                 CopyOutcome::Status::COPIED, 0},
        CopyCase{"NewLastLineGetsLineEnd", "a\nb", "a\nb\n",
                 CopyOutcome::Status::COPIED, 0},
        CopyCase{"NulLinesWholeAndDistinct", "\0\n\n\0\na\0b\na\0\n"s,
                 "\0\n\na\0b\na\0\n"s, CopyOutcome::Status::COPIED, 0},
        CopyCase{"CrStaysInTheLine", "a\r\na\na\r\n", "a\r\na\n",
                 CopyOutcome::Status::COPIED, 0},
        // Many more lines than one read of the output holds.
        CopyCase{"OutputLargerThanOneRead",
                 NumberedLines(8000) + NumberedLines(8000),
                 NumberedLines(8000), CopyOutcome::Status::COPIED, 0},
        CopyCase{"OverlongLineNumbered", "a\nb\na\n" + Repeat('x', 2000),
                 "a\nb\n", CopyOutcome::Status::LINE_TOO_LONG, 4}),
    [](const testing::TestParamInfo<CopyCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace

namespace {

// The scans go by name; when that name stops leading to a readable file the
// copy must stop rather than take every line for new.
struct ScanFailureCase {
  const char* name;
  const char* scanned_name;  // Relative to the directory, or absolute.
  CopyOutcome::Status status;
};

void PrintTo(const ScanFailureCase& c, std::ostream* out) { *out << c.name; }

class ScanFailure : public testing::TestWithParam<ScanFailureCase> {};

TEST_P(ScanFailure, StopsTheCopyBeforeWriting) {
  const ScanFailureCase& c = GetParam();
  TempDir dir;
  WriteFileBytes(dir / "in", "a\na\n");
  File input, output;
  ASSERT_TRUE(input.OpenForRead(dir / "in"));
  ASSERT_TRUE(output.OpenForWrite(dir / "out"));
  std::string scanned = c.scanned_name[0] == '/' ? c.scanned_name
                                                 : dir / c.scanned_name;
  CopyOutcome outcome = copy_unique_lines(input, output, scanned);
  EXPECT_TRUE(output.Close());
  EXPECT_EQ(outcome.status, c.status);
  EXPECT_EQ(outcome.line_number, 1u);
  EXPECT_EQ(ReadFileBytes(dir / "out"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanFailure,
    testing::Values(
        ScanFailureCase{"CannotOpen", "gone",
                        CopyOutcome::Status::OUTPUT_OPEN_FAILED},
        // Reading /proc/self/mem at offset 0 fails with EIO.
        ScanFailureCase{"CannotRead", "/proc/self/mem",
                        CopyOutcome::Status::OUTPUT_READ_FAILED}),
    [](const testing::TestParamInfo<ScanFailureCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
