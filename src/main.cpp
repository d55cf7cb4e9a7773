// uniqcopy: asks for an input and an output file name and copies the input's
// lines into the output, leaving out every line the output already holds.

#include <cstdio>
#include <string>

#include "console.h"
#include "copy_unique_lines.h"
#include "file.h"

namespace {

constexpr int EXIT_SUCCESS_STATUS = 0;
constexpr int EXIT_FAILURE_STATUS = -1;

bool IsWordSeparator(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}

// A failed write or flush leaves its mark on stdout, which end_run tests.
void write_text(const std::string& text) {
  (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

// Reads one whitespace-delimited word. The prompt must be on screen while
// we wait, and the separator after the word is left for the next read.
std::string read_word() {
  (void)std::fflush(stdout);
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && IsWordSeparator(c));
  std::string word;
  while (c != EOF && !IsWordSeparator(c)) {
    word.push_back(static_cast<char>(c));
    c = std::getchar();
  }
  // One character pushed back after a read always fits.
  if (c != EOF) (void)std::ungetc(c, stdin);
  return word;
}

void report_open_failure(const std::string& name, const char* tail) {
  write_text("Can not open file " + name + tail + "\n");
  (void)std::fflush(stdout);
}

// Every way out ends with the key wait. A standard output that could not
// be written turns success into failure: the caller never saw the result.
int end_run(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    status = EXIT_FAILURE_STATUS;
  wait_for_key();
  return status;
}

int fail_to_open(const std::string& name, const char* tail) {
  report_open_failure(name, tail);
  return end_run(EXIT_FAILURE_STATUS);
}

int fail(const std::string& message) {
  write_text(message);
  return end_run(EXIT_FAILURE_STATUS);
}

std::string describe_copy_failure(const CopyOutcome& outcome,
                                  const std::string& input_name,
                                  const std::string& output_name) {
  switch (outcome.status) {
    case CopyOutcome::Status::LINE_TOO_LONG:
      return "Can not copy file " + input_name + ": line " +
             std::to_string(outcome.line_number) + " is longer than " +
             std::to_string(MAX_LINE_LENGTH) + " characters.\n";
    case CopyOutcome::Status::INPUT_READ_FAILED:
      return "Can not read file " + input_name + ".\n";
    case CopyOutcome::Status::OUTPUT_OPEN_FAILED:
      return "Can not open file " + output_name + " for read.\n";
    case CopyOutcome::Status::OUTPUT_READ_FAILED:
      return "Can not read file " + output_name + ".\n";
    case CopyOutcome::Status::OUTPUT_WRITE_FAILED:
      return "Can not write file " + output_name + ".\n";
    case CopyOutcome::Status::COPIED:
      break;
  }
  return std::string();
}

}  // namespace

int main() {
  write_text("Enter the inputfile:");
  std::string input_name = read_word();
  write_text("Enter the outputfile:");
  std::string output_name = read_word();

  // The input is opened and tested first, so that a mistyped input name
  // leaves the output alone.
  File input;
  if (!input.OpenForRead(input_name))
    return fail_to_open(input_name, " for read.");

  // Inspected before it is emptied: neither the input itself nor a device
  // may be emptied, written or re-read.
  File output;
  if (!output.OpenForWrite(output_name))
    return fail_to_open(output_name, " for write.");
  if (output.IsSameFile(input))
    return fail("Can not use file " + output_name +
                " as output: it is the input file.\n");
  if (!output.IsRegular() || !output.Truncate())
    return fail_to_open(output_name, " for write.");

  // Every line's scan re-opens the output by name; if that cannot work,
  // say so now rather than write repeats later.
  File probe;
  if (!probe.OpenForRead(output_name))
    return fail_to_open(output_name, " for read.");
  probe.Close();

  CopyOutcome outcome = copy_unique_lines(input, output, output_name);
  // Nothing of the input can be lost by a failing close.
  input.Close();
  bool output_closed = output.Close();
  if (outcome.status == CopyOutcome::Status::COPIED && !output_closed)
    outcome.status = CopyOutcome::Status::OUTPUT_WRITE_FAILED;
  if (outcome.status != CopyOutcome::Status::COPIED)
    return fail(describe_copy_failure(outcome, input_name, output_name));

  write_text("Finished.");
  return end_run(EXIT_SUCCESS_STATUS);
}
