// Runs the program with its file calls failed or shortened one at a time by
// the preloaded fault_inject library, and checks that every run either ends
// with "Finished." and the exact output, or says what failed, ends with
// status -1 and leaves an output of whole lines only.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string PROMPTS = "Enter the inputfile:Enter the outputfile:";
constexpr int FAILED = 255;  // What -1 becomes as a process status.

// One line of the library's log.
struct LoggedCall {
  std::string call_class;
  unsigned long nth = 0;
  int fd = -1;
  long long result = 0;
  int error = 0;
  int flags = 0;
  std::string path;  // For an open only.
};

std::vector<LoggedCall> ParseLog(const std::string& text) {
  std::vector<LoggedCall> calls;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    LoggedCall call;
    words >> call.call_class >> call.nth >> call.fd >> call.result >>
        call.error;
    if (call.call_class == "open") words >> call.flags >> call.path;
    calls.push_back(call);
  }
  return calls;
}

// A fault for the library: which call, and what happens to it.
struct Fault {
  std::string call_class;
  unsigned long nth = 0;
  std::string error = "EIO";
  std::string mode = "fail";  // fail, short or short-then-fail.
  bool repeat = false;
};

struct FaultRun {
  RunResult run;
  std::vector<LoggedCall> calls;
};

// Runs the program in `dir` on `stdin_bytes`, with `fault` injected if any.
FaultRun RunWithFault(const TempDir& dir, const std::string& stdin_bytes,
                      const std::optional<Fault>& fault) {
  TempDir log_dir;
  std::string log_path = log_dir / "calls.log";
  RunOptions options;
  options.working_directory = dir.path();
  options.timeout_seconds = 10;
  options.environment = {"LD_PRELOAD=" FAULT_INJECT_LIBRARY,
                         "FAULT_LOG=" + log_path};
  if (fault) {
    options.environment.push_back("FAULT_CALL=" + fault->call_class);
    options.environment.push_back("FAULT_NTH=" + std::to_string(fault->nth));
    options.environment.push_back("FAULT_ERRNO=" + fault->error);
    options.environment.push_back("FAULT_MODE=" + fault->mode);
    if (fault->repeat) options.environment.push_back("FAULT_REPEAT=1");
  }
  FaultRun result;
  result.run = RunProgram(stdin_bytes, options);
  result.calls = ParseLog(ReadFileBytes(log_path).value_or(""));
  return result;
}

// The library must really be in the program, or every sweep passes empty.
void ExpectInterposed(const std::vector<LoggedCall>& calls,
                      const std::vector<std::string>& classes) {
  std::map<std::string, int> seen;
  for (const LoggedCall& call : calls) ++seen[call.call_class];
  for (const std::string& name : classes)
    EXPECT_GT(seen[name], 0) << "no " << name << " call was seen";
}

// The same file named as input and output must never be emptied, whatever
// call fails while the program tells whether the two names are one file.
TEST(InputNamedAsOutput, SurvivesEveryFailingFstat) {
  const std::string content = "one\ntwo\none\n";
  struct Naming {
    const char* output;
    const char* link;  // A hard link to create first, if any.
  };
  for (const Naming& naming : {Naming{"in.txt", nullptr},
                               Naming{"sub/../in.txt", nullptr},
                               Naming{"link", "link"}}) {
    SCOPED_TRACE(naming.output);
    TempDir dir;
    WriteFileBytes(dir / "in.txt", content);
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
    if (naming.link) {
      ASSERT_EQ(::link((dir / "in.txt").c_str(), (dir / naming.link).c_str()),
                0);
    }
    std::string names = std::string("in.txt ") + naming.output;
    FaultRun clean = RunWithFault(dir, names, std::nullopt);
    ASSERT_EQ(clean.run.exit_status, FAILED);
    ExpectInterposed(clean.calls, {"open", "fstat"});
    unsigned long fstats = 0;
    for (const LoggedCall& call : clean.calls)
      if (call.call_class == "fstat") ++fstats;
    ASSERT_GT(fstats, 0u);
    for (unsigned long nth = 1; nth <= fstats; ++nth) {
      SCOPED_TRACE("fstat " + std::to_string(nth));
      FaultRun faulted = RunWithFault(dir, names, Fault{"fstat", nth});
      EXPECT_FALSE(faulted.run.timed_out);
      EXPECT_FALSE(faulted.run.signalled);
      EXPECT_EQ(faulted.run.exit_status, FAILED);
      EXPECT_EQ(faulted.run.stdout_bytes.find("Finished."), std::string::npos);
      EXPECT_EQ(ReadFileBytes(dir / "in.txt"), content);
    }
  }
}

}  // namespace
