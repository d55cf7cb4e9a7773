// The scan of the output against a plain model of it: a file's lines are
// its bytes split at LF, the last one counted without LF. The scan's
// vector search and the needles that straddle two reads are where faults
// would hide, so every case runs with read sizes from 1 byte up.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "copy_unique_lines.h"
#include "gtest/gtest.h"

namespace {

const size_t READ_SIZES[] = {1, 2, 3, 5, 16, 17, 31, 33, 64, 1000, 1025,
                             4096, READ_BUFFER_SIZE};

bool ModelHasLine(const std::string& content, const std::string& line) {
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (content.compare(start, end - start, line) == 0) return true;
    start = end + 1;
  }
  return false;
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uniqcopy-scan-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/output";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  void WriteOutput(const std::string& content) {
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    ASSERT_EQ(close(fd), 0);
  }

  ScanResult Scan(const std::string& line, size_t read_size) {
    std::vector<char> buffer(read_size);
    return output_has_line(path_, line.data(), line.size(), buffer.data(),
                           buffer.size());
  }

  std::string dir_;
  std::string path_;
};

struct Case {
  const char* what;
  std::string content;
  std::string line;
  bool found;
};

std::string Repeat(char c, size_t count) { return std::string(count, c); }

TEST_F(ScanTest, FindsExactlyTheWholeLines) {
  using namespace std::string_literals;
  const std::string longest = Repeat('x', MAX_LINE_LENGTH);
  const Case cases[] = {
      {"empty output, empty line", "", "", false},
      {"empty output", "", "a", false},
      {"empty line alone", "\n", "", true},
      {"no empty line", "a\nb\n", "", false},
      {"empty line in the middle", "a\n\nb\n", "", true},
      {"empty line first", "\na", "", true},
      {"last line without LF", "x\na", "a", true},
      {"only line without LF", "a", "a", true},
      {"line is a prefix", "ab\n", "a", false},
      {"line is a suffix", "ba\n", "a", false},
      {"inside a line", "xabcx\n", "abc", false},
      {"prefix of the unterminated last line", "x\nab", "a", false},
      {"longer than the last line", "x\na", "ab", false},
      {"found after near misses", "ab\nba\nxa\na\n", "a", true},
      {"NUL is an ordinary byte", "a\0b\n"s, "a\0b"s, true},
      {"bytes after a NUL count", "a\0b\n"s, "a"s, false},
      {"NUL differs from its absence", "a\n"s, "a\0"s, false},
      {"CR before LF is part of the line", "a\r\n", "a", false},
      {"CR line found", "a\r\n", "a\r", true},
      {"longest line", "y\n" + longest + "\n", longest, true},
      {"longest line unterminated", "y\n" + longest, longest, true},
      {"one byte short of a long line", longest + "\n",
       Repeat('x', MAX_LINE_LENGTH - 1), false},
      {"a line longer than the longest", longest + "x\n", longest, false},
  };
  for (const Case& c : cases) {
    WriteOutput(c.content);
    for (size_t read_size : READ_SIZES) {
      EXPECT_EQ(Scan(c.line, read_size),
                c.found ? ScanResult::FOUND : ScanResult::NOT_FOUND)
          << c.what << ", reads of " << read_size;
    }
  }
}

TEST_F(ScanTest, AgreesWithTheModelOnRandomOutputs) {
  // Few distinct bytes make near misses common; long runs make lines
  // that straddle reads and the needle's farthest load.
  std::mt19937 random(12345);
  const char bytes[] = {'a', 'b', '\n', '\r', '\0'};
  for (int round = 0; round < 400; ++round) {
    std::string content;
    size_t size = random() % 3000;
    while (content.size() < size) {
      if (random() % 50 == 0)
        content += Repeat('a', random() % 1100) + '\n';
      else
        content += bytes[random() % sizeof bytes];
    }
    WriteOutput(content);
    std::vector<std::string> lines;
    for (size_t start = 0; start < content.size();) {
      size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      if (end - start <= MAX_LINE_LENGTH)
        lines.push_back(content.substr(start, end - start));
      start = end + 1;
    }
    for (int query = 0; query < 6; ++query) {
      std::string line;
      if (!lines.empty() && query % 2 == 0) {
        line = lines[random() % lines.size()];
        // A near miss: one byte more or less, or one byte changed.
        if (query == 4 && !line.empty()) line.pop_back();
        if (query == 2) line += 'a';
      } else {
        size_t length = random() % 8;
        for (size_t i = 0; i < length; ++i)
          line += bytes[random() % 2 == 0 ? 0 : 1];
      }
      size_t read_size = READ_SIZES[random() % (sizeof READ_SIZES /
                                                sizeof READ_SIZES[0])];
      EXPECT_EQ(Scan(line, read_size), ModelHasLine(content, line)
                                           ? ScanResult::FOUND
                                           : ScanResult::NOT_FOUND)
          << "round " << round << ", line of " << line.size()
          << " bytes, reads of " << read_size;
    }
  }
}

TEST_F(ScanTest, ReportsAnOutputItCannotReadAndLeavesNoFileOpen) {
  EXPECT_EQ(Scan("a", READ_BUFFER_SIZE), ScanResult::CANNOT_OPEN);
  // A directory opens for reading; it must not pass for an empty output.
  std::vector<char> buffer(READ_BUFFER_SIZE);
  EXPECT_EQ(output_has_line(dir_, "a", 1, buffer.data(), buffer.size()),
            ScanResult::CANNOT_READ);
  WriteOutput("a\nb\n");
  int before = open(path_.c_str(), O_RDONLY);
  ASSERT_GE(before, 0);
  ASSERT_EQ(close(before), 0);
  for (const char* line : {"a", "b", "c"}) Scan(line, READ_BUFFER_SIZE);
  // The lowest free descriptor is the same again only if every scan closed.
  int after = open(path_.c_str(), O_RDONLY);
  EXPECT_EQ(after, before);
  if (after >= 0) close(after);
}

}  // namespace
