#include "copy_unique_lines.h"

#include <cstring>

#include "line_search.h"

LineReader::Result LineReader::ReadLine(char* line, size_t* length) {
  size_t stored = 0;
  bool started = false;
  for (;;) {
    if (begin_ == end_) {
      if (at_end_) break;
      long long count = file_->Read(buffer_, sizeof buffer_);
      if (count < 0) return Result::READ_ERROR;
      if (count == 0) {
        at_end_ = true;
        break;
      }
      begin_ = 0;
      end_ = static_cast<size_t>(count);
    }
    const char* start = buffer_ + begin_;
    size_t available = end_ - begin_;
    const char* line_end =
        static_cast<const char*>(std::memchr(start, '\n', available));
    size_t piece = line_end ? static_cast<size_t>(line_end - start) : available;
    if (stored + piece > MAX_LINE_LENGTH) return Result::TOO_LONG;
    std::memcpy(line + stored, start, piece);
    stored += piece;
    begin_ += piece;
    started = true;
    if (line_end) {
      ++begin_;
      *length = stored;
      return Result::LINE;
    }
  }
  if (!started) return Result::END;
  *length = stored;  // The last line, without LF.
  return Result::LINE;
}

namespace {

ScanResult CloseAndReturn(File& scanned, ScanResult result) {
  // The scan only read; a failing close cannot have lost anything.
  scanned.Close();
  return result;
}

}  // namespace

ScanResult output_has_line(const std::string& output_name, const char* line,
                           size_t length, char* buffer, size_t buffer_size) {
  // The copy never writes such a line, and `carry` below has no room for it.
  if (length > MAX_LINE_LENGTH) return ScanResult::NOT_FOUND;
  File scanned;
  // main() made sure that the output is a regular file.
  if (!scanned.OpenForScan(output_name)) return ScanResult::CANNOT_OPEN;
  NeedleFinder needle(line, length);
  // A needle may straddle two reads. `carry` holds the output's last
  // needle-size - 1 bytes (fewer near its start, headed by the put-in LF);
  // the start of each read is appended to it so that the needles starting
  // there are found too.
  char carry[2 * (LINE_BUFFER_SIZE + 1)];
  size_t carried = 1;
  carry[0] = '\n';
  const size_t keep = needle.size() - 1;
  for (;;) {
    long long count = scanned.Read(buffer, buffer_size);
    if (count < 0) return CloseAndReturn(scanned, ScanResult::CANNOT_READ);
    if (count == 0) break;
    size_t got = static_cast<size_t>(count);
    size_t joined = got < keep ? got : keep;
    std::memcpy(carry + carried, buffer, joined);
    if (needle.Find(carry, carried + joined, carried) ||
        needle.Find(buffer, got, got))
      return CloseAndReturn(scanned, ScanResult::FOUND);
    if (got >= keep) {
      std::memcpy(carry, buffer + got - keep, keep);
      carried = keep;
    } else {
      size_t total = carried + got;
      size_t kept = total < keep ? total : keep;
      std::memmove(carry, carry + total - kept, kept);
      carried = kept;
    }
  }
  if (needle.IsUnterminatedLastLine(carry, carried))
    return CloseAndReturn(scanned, ScanResult::FOUND);
  return CloseAndReturn(scanned, ScanResult::NOT_FOUND);
}

CopyOutcome copy_unique_lines(File& input, File& output,
                              const std::string& output_name) {
  LineReader reader(&input);
  // One byte more than a line needs, for the LF that is written with it.
  char line[LINE_BUFFER_SIZE];
  alignas(64) char scan_buffer[READ_BUFFER_SIZE];
  std::uint64_t line_number = 0;
  for (;;) {
    size_t length = 0;
    LineReader::Result read = reader.ReadLine(line, &length);
    ++line_number;
    switch (read) {
      case LineReader::Result::END:
        return {CopyOutcome::Status::COPIED, line_number};
      case LineReader::Result::TOO_LONG:
        return {CopyOutcome::Status::LINE_TOO_LONG, line_number};
      case LineReader::Result::READ_ERROR:
        return {CopyOutcome::Status::INPUT_READ_FAILED, line_number};
      case LineReader::Result::LINE:
        break;
    }
    switch (output_has_line(output_name, line, length, scan_buffer,
                            sizeof scan_buffer)) {
      case ScanResult::FOUND:
        continue;
      case ScanResult::CANNOT_OPEN:
        return {CopyOutcome::Status::OUTPUT_OPEN_FAILED, line_number};
      case ScanResult::CANNOT_READ:
        return {CopyOutcome::Status::OUTPUT_READ_FAILED, line_number};
      case ScanResult::NOT_FOUND:
        break;
    }
    // Line and line end in one write, so that the next scan sees both.
    line[length] = '\n';
    if (!output.WriteWhole(line, length + 1))
      return {CopyOutcome::Status::OUTPUT_WRITE_FAILED, line_number};
  }
}
