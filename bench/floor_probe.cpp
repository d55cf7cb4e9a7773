// Measures the least time that the design allows on this machine: one
// open+close pair of the output file per scan, and for each scan a read of
// the bytes it must read from the output's start (up to the equal line, or
// all of the output for a new line), through a buffer the size uniqcopy
// uses. It reads the finished output, whose starts are what the scans saw,
// so the bytes come from the page cache just as theirs do. Give it the
// file uniqcopy wrote: a file written a line per write(2) sits in the page
// cache in small pieces and reads about half as fast as a copy of it.
//
// Usage: uniqcopy-floor OUTPUT SCANS
// SCANS holds one byte count per scan, one per line.
// Prints: open_close_seconds read_seconds

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "copy_unique_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool LoadScans(const char* path, std::vector<unsigned long long>* scans) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  unsigned long long bytes;
  while (std::fscanf(f, "%llu", &bytes) == 1) scans->push_back(bytes);
  bool ok = std::feof(f) && !std::ferror(f);
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned long long> scans;
  if (argc != 3 || !LoadScans(argv[2], &scans)) {
    std::fprintf(stderr, "usage: %s OUTPUT SCANS\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];

  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < scans.size(); ++i) {
    int fd = ::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::close(fd) != 0) {
      std::perror(path);
      return 1;
    }
  }
  double open_close = SecondsSince(start);

  std::vector<char> buffer(READ_BUFFER_SIZE);
  int fd = ::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path);
    return 1;
  }
  start = Clock::now();
  for (unsigned long long bytes : scans) {
    unsigned long long offset = 0;
    while (offset < bytes) {
      unsigned long long want = bytes - offset;
      if (want > buffer.size()) want = buffer.size();
      ssize_t got = ::pread(fd, buffer.data(), want,
                            static_cast<off_t>(offset));
      if (got <= 0) {
        std::fprintf(stderr, "%s: shorter than a scan\n", path);
        return 1;
      }
      offset += static_cast<unsigned long long>(got);
    }
  }
  double reading = SecondsSince(start);
  if (::close(fd) != 0) {
    std::perror(path);
    return 1;
  }
  std::printf("%.6f %.6f\n", open_close, reading);
  return 0;
}
