// One scan of an output for a line it does not hold, which reads all of
// it: the inner loop of the design. The output is written a line per
// write(2), as uniqcopy writes it, since that decides how the page cache
// holds it and so how fast it reads. Arguments: output size in KiB, line
// length, read size in KiB.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "copy_unique_lines.h"

namespace {

// Distinct lines of `length` bytes, LF ended, up to about `bytes` in all.
bool WriteOutput(const std::string& path, size_t bytes, size_t length) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  std::string line(length + 1, 'a');
  line[length] = '\n';
  bool ok = true;
  for (size_t written = 0, n = 0; ok && written < bytes; ++n) {
    for (size_t i = 0, v = n; i < length && i < 8; ++i, v /= 26)
      line[length - 1 - i] = static_cast<char>('a' + v % 26);
    ok = write(fd, line.data(), line.size()) ==
         static_cast<ssize_t>(line.size());
    written += line.size();
  }
  return close(fd) == 0 && ok;
}

void BM_ScanWholeOutput(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0)) * 1024;
  const size_t length = static_cast<size_t>(state.range(1));
  const size_t read_size = static_cast<size_t>(state.range(2)) * 1024;
  char dir[] = "/tmp/uniqcopy-scan-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string path = std::string(dir) + "/output";
  if (!WriteOutput(path, bytes, length)) {
    state.SkipWithError("cannot write the output");
    return;
  }
  const std::string absent(length, '#');
  std::vector<char> buffer(read_size);
  for (auto _ : state) {
    ScanResult result = output_has_line(path, absent.data(), absent.size(),
                                        buffer.data(), buffer.size());
    if (result != ScanResult::NOT_FOUND) {
      state.SkipWithError("the scan did not read the whole output");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes));
  unlink(path.c_str());
  rmdir(dir);
}

BENCHMARK(BM_ScanWholeOutput)
    ->ArgNames({"KiB", "line", "read_KiB"})
    ->ArgsProduct({{256, 2048}, {40, 960}, {16, 32, 64, 128, 256}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
