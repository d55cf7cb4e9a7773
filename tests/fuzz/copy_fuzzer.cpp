// libFuzzer target: arbitrary bytes go through the real copy, on real files
// in a temporary directory, and the output must be what the line rules say.

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "copy_unique_lines.h"
#include "file.h"

namespace {

std::string g_dir;

void RemoveDirectory() {
  (void)::nftw(
      g_dir.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) {
        // Best effort: a leftover file in TMPDIR harms nothing.
        (void)::remove(path);
        return 0;
      },
      8, FTW_DEPTH | FTW_PHYS);
}

[[noreturn]] void Fail(const char* what) {
  (void)std::fprintf(stderr, "copy_fuzzer: %s\n", what);
  std::abort();
}

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot create the input");
  while (size > 0) {
    ssize_t count = ::write(fd, data, size);
    if (count <= 0) Fail("cannot write the input");
    data += count;
    size -= static_cast<size_t>(count);
  }
  if (::close(fd) != 0) Fail("cannot close the input");
}

std::string ReadAll(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open the output");
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) Fail("cannot read the output");
    if (count == 0) break;
    bytes.append(buffer, static_cast<size_t>(count));
  }
  if (::close(fd) != 0) Fail("cannot close the output");
  return bytes;
}

// The line rules, with all lines in memory.
struct Model {
  std::string output;
  CopyOutcome::Status status = CopyOutcome::Status::COPIED;
  std::uint64_t line_number = 0;
};

Model Expect(const std::string& input) {
  Model model;
  std::set<std::string> seen;
  size_t start = 0;
  std::uint64_t number = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    std::string line = input.substr(start, end - start);
    ++number;
    if (line.size() > MAX_LINE_LENGTH) {
      model.status = CopyOutcome::Status::LINE_TOO_LONG;
      model.line_number = number;
      return model;
    }
    if (seen.insert(line).second) model.output += line + "\n";
    start = end + 1;
  }
  model.line_number = number + 1;
  return model;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base && *base ? base : "/tmp") + "/copy-fuzzer-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make a directory");
  g_dir = pattern;
  if (std::atexit(RemoveDirectory) != 0) Fail("cannot register the cleanup");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input_path = g_dir + "/in";
  const std::string output_path = g_dir + "/out";
  WriteAll(input_path, data, size);
  std::string input(reinterpret_cast<const char*>(data), size);

  File in;
  File out;
  // The output keeps the previous input's lines until it is emptied.
  if (!in.OpenForRead(input_path) || !out.OpenForWrite(output_path) ||
      out.IsSameFile(in) || !out.IsRegular() || !out.Truncate())
    Fail("cannot open the files");
  CopyOutcome outcome = copy_unique_lines(in, out, output_path);
  if (!in.Close() || !out.Close()) Fail("cannot close the files");

  Model model = Expect(input);
  if (outcome.status != model.status) Fail("wrong outcome");
  if (outcome.line_number != model.line_number) Fail("wrong line number");
  if (ReadAll(output_path) != model.output) Fail("wrong output");
  if (ReadAll(input_path) != input) Fail("the input changed");
  return 0;
}
