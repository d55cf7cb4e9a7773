// Copies a file's lines into another, leaving out every line that already
// stands in the output. The output file is the only record of what has been
// written: each line costs a fresh read of the output from its start.
#ifndef UNIQCOPY_COPY_UNIQUE_LINES_H_
#define UNIQCOPY_COPY_UNIQUE_LINES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "file.h"

/// A line holds at most LINE_BUFFER_SIZE - 1 bytes, its line end not counted.
constexpr size_t LINE_BUFFER_SIZE = 1024;
constexpr size_t MAX_LINE_LENGTH = LINE_BUFFER_SIZE - 1;

/// Bytes taken from a file by one read(2).
constexpr size_t READ_BUFFER_SIZE = 64 * 1024;

/// Splits a file into lines: each ends at LF, which is not part of it, and
/// the last one needs no LF. Every other byte, NUL and CR included, belongs
/// to the line.
class LineReader {
 public:
  enum class Result { LINE, END, TOO_LONG, READ_ERROR };

  explicit LineReader(File* file) : file_(file) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  /// Stores the next line in `line` (room for LINE_BUFFER_SIZE bytes) and
  /// its length in `length`. TOO_LONG leaves the rest of the line unread.
  Result ReadLine(char* line, size_t* length);

 private:
  File* file_;
  char buffer_[READ_BUFFER_SIZE];
  size_t begin_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
};

enum class ScanResult { FOUND, NOT_FOUND, CANNOT_OPEN, CANNOT_READ };

/// Opens the file `output_name` afresh for reading and looks for a line
/// equal to `line` (`length` bytes, at most MAX_LINE_LENGTH), reading
/// through `buffer`. The file is closed again before this returns.
ScanResult output_has_line(const std::string& output_name, const char* line,
                           size_t length, char* buffer, size_t buffer_size);

struct CopyOutcome {
  enum class Status {
    COPIED,              // The whole input was read; every new line written.
    LINE_TOO_LONG,       // Line `line_number` has over MAX_LINE_LENGTH bytes.
    INPUT_READ_FAILED,   // Reading the input failed before its end.
    OUTPUT_OPEN_FAILED,  // A scan could not open the output.
    OUTPUT_READ_FAILED,  // A scan could not read the output.
    OUTPUT_WRITE_FAILED  // Writing a line failed; no part of it remains.
  };
  Status status;
  std::uint64_t line_number;  // 1-based input line where the copy stopped.
};

/// Copies the lines of `input` that `output` (named `output_name`, open for
/// writing) does not hold yet, in input order, each followed by LF. Stops
/// at the first failure; the output then holds whole lines only.
CopyOutcome copy_unique_lines(File& input, File& output,
                              const std::string& output_name);

#endif  // UNIQCOPY_COPY_UNIQUE_LINES_H_
