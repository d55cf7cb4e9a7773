// The same design as uniqcopy, written the way a textbook would: streams,
// getline into a fixed buffer, strncmp. The benchmark measures against it
// and checks that both produce the same output.
//
// Usage: uniqcopy-reference INPUT OUTPUT

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

constexpr int LINE_BUFFER_SIZE = 1024;

bool output_has_line(const char* output_name, const char* line) {
  std::ifstream scanned(output_name);
  char scanned_line[LINE_BUFFER_SIZE];
  while (scanned.getline(scanned_line, LINE_BUFFER_SIZE)) {
    if (std::strncmp(scanned_line, line, LINE_BUFFER_SIZE) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  std::ifstream input(argv[1]);
  std::ofstream output(argv[2]);
  if (!input || !output) {
    std::fprintf(stderr, "cannot open the files\n");
    return 1;
  }
  char line[LINE_BUFFER_SIZE];
  while (input.getline(line, LINE_BUFFER_SIZE)) {
    if (!output_has_line(argv[2], line)) output << line << std::endl;
  }
  return 0;
}
