// Measures the least time that the design allows on this machine: the
// run's number of open+close pairs on the output file, and reading the
// bytes the scans must read through a buffer the size uniqcopy uses.
// The bytes come from the same file, read over and over from its start,
// so they are in the page cache just as the scans find them.
//
// Usage: uniqcopy-floor FILE OPENS BYTES
// Prints: open_close_seconds read_seconds

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "copy_unique_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool ParseCount(const char* text, unsigned long long* value) {
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long opens = 0, bytes = 0;
  if (argc != 4 || !ParseCount(argv[2], &opens) ||
      !ParseCount(argv[3], &bytes)) {
    std::fprintf(stderr, "usage: %s FILE OPENS BYTES\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];

  Clock::time_point start = Clock::now();
  for (unsigned long long i = 0; i < opens; ++i) {
    int fd = ::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::close(fd) != 0) {
      std::perror(path);
      return 1;
    }
  }
  double open_close = SecondsSince(start);

  const size_t buffer_size = READ_BUFFER_SIZE;
  std::vector<char> buffer(buffer_size);
  int fd = ::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path);
    return 1;
  }
  start = Clock::now();
  unsigned long long left = bytes;
  off_t offset = 0;
  while (left > 0) {
    size_t want = buffer_size < left ? buffer_size : left;
    ssize_t got = ::pread(fd, buffer.data(), want, offset);
    if (got < 0) {
      std::perror(path);
      return 1;
    }
    if (got == 0) {
      if (offset == 0) {
        std::fprintf(stderr, "%s: empty\n", path);
        return 1;
      }
      offset = 0;  // Start over, as the next scan would.
      continue;
    }
    left -= static_cast<unsigned long long>(got);
    offset += got;
  }
  double reading = SecondsSince(start);
  ::close(fd);
  std::printf("%.6f %.6f\n", open_close, reading);
  return 0;
}
