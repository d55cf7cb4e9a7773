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

// The input of every sweep: repeats, an empty line, a last line without LF.
const std::string INPUT = "red\nblue\nred\n\ngreen\n\nblue\nred";
const std::vector<std::string> RECORDS = {"red\n", "blue\n", "\n", "green\n"};
const std::string NAMES = "in.txt out.txt\n";

std::string FirstRecords(size_t count) {
  std::string bytes;
  for (size_t i = 0; i < count && i < RECORDS.size(); ++i) bytes += RECORDS[i];
  return bytes;
}

// Which file a call was for.
enum class Role { INPUT, OUTPUT, PROBE, SCAN, TERMINAL, UNKNOWN };

// A call of the clean run with what the program should make of its failure.
struct SweepCall {
  LoggedCall call;
  Role role = Role::UNKNOWN;
  size_t records_before = 0;  // Output lines written before the call.
};

const char* RoleName(Role role) {
  switch (role) {
    case Role::INPUT: return "input";
    case Role::OUTPUT: return "output";
    case Role::PROBE: return "first re-opening";
    case Role::SCAN: return "scan";
    case Role::TERMINAL: return "terminal";
    case Role::UNKNOWN: break;
  }
  return "unknown";
}

std::vector<SweepCall> Classify(const std::vector<LoggedCall>& calls) {
  std::vector<SweepCall> classified;
  std::map<int, Role> roles;
  bool probed = false;
  size_t records = 0;
  for (const LoggedCall& call : calls) {
    SweepCall entry{call, Role::UNKNOWN, records};
    if (call.call_class == "open") {
      if (call.path == "in.txt") {
        entry.role = Role::INPUT;
      } else if (call.path == "out.txt" &&
                 (call.flags & O_ACCMODE) == O_WRONLY) {
        entry.role = Role::OUTPUT;
      } else if (call.path == "out.txt") {
        entry.role = probed ? Role::SCAN : Role::PROBE;
        probed = true;
      } else if (call.path == "/dev/tty") {
        entry.role = Role::TERMINAL;
      }
      if (call.result >= 0) roles[static_cast<int>(call.result)] = entry.role;
    } else if (roles.count(call.fd) != 0) {
      entry.role = roles[call.fd];
      if (call.call_class == "close") roles.erase(call.fd);
      if (call.call_class == "write" && entry.role == Role::OUTPUT) ++records;
    }
    classified.push_back(entry);
  }
  return classified;
}

// What a run must show: "Finished." and every record, or a message.
struct Expected {
  std::string message;              // Empty for a complete run.
  std::optional<size_t> records;    // Output lines; none: as before the run.
  bool created_empty_allowed = false;  // The open created it, then failed.
};

const Expected COMPLETE{"", RECORDS.size()};

// What an error in `call` must lead to, in the order the program works.
Expected AfterError(const SweepCall& entry) {
  const std::string& what = entry.call.call_class;
  size_t before = entry.records_before;
  switch (entry.role) {
    case Role::INPUT:
      if (what == "open" || what == "fstat")
        return {"Can not open file in.txt for read.\n", std::nullopt};
      if (what == "read") return {"Can not read file in.txt.\n", before};
      if (what == "close") return COMPLETE;  // Nothing of it can be lost.
      break;
    case Role::OUTPUT:
      if (what == "open")
        return {"Can not open file out.txt for write.\n", std::nullopt};
      // Opened, so possibly created, but not yet emptied.
      if (what == "fstat" || what == "ftruncate")
        return {"Can not open file out.txt for write.\n", std::nullopt, true};
      if (what == "lseek")
        return {"Can not open file out.txt for write.\n", size_t{0}};
      if (what == "write" || what == "close")
        return {"Can not write file out.txt.\n", before};
      break;
    case Role::PROBE:
    case Role::SCAN:
      if (what == "open" || what == "fstat")
        return {"Can not open file out.txt for read.\n", before};
      if (what == "read") return {"Can not read file out.txt.\n", before};
      if (what == "close") return COMPLETE;  // It was only read.
      break;
    case Role::TERMINAL:
      return COMPLETE;  // No terminal in these runs; nobody to wait for.
    case Role::UNKNOWN:
      break;
  }
  ADD_FAILURE() << "no expectation for " << what << " " << entry.call.nth
                << " on descriptor " << entry.call.fd;
  return COMPLETE;
}

struct SweepFault {
  const char* label;
  const char* error;
  const char* mode;
  std::vector<std::string> classes;  // The calls it applies to.
  bool transparent;                  // The program must get over it.
};

const std::vector<SweepFault>& SweepFaults() {
  static const std::vector<SweepFault> faults = {
      {"EIO", "EIO", "fail",
       {"open", "fstat", "read", "write", "close", "ftruncate", "lseek"},
       false},
      {"ENOSPC", "ENOSPC", "fail", {"write"}, false},
      {"EFBIG", "EFBIG", "fail", {"write"}, false},
      // A filling disk: part of the line goes out, then no more.
      {"ENOSPC after a short write", "ENOSPC", "short-then-fail", {"write"},
       false},
      {"EFBIG after a short write", "EFBIG", "short-then-fail", {"write"},
       false},
      {"EINTR", "EINTR", "fail",
       {"open", "fstat", "read", "write", "close", "ftruncate", "lseek"},
       true},
      {"short transfer", "EIO", "short", {"read", "write"}, true},
  };
  return faults;
}

bool Applies(const SweepFault& fault, const std::string& call_class) {
  for (const std::string& name : fault.classes)
    if (name == call_class) return true;
  return false;
}

// Runs with `fault` on the `index`th call of `calls` and checks the result;
// returns a short account of what the run showed.
std::string CheckFaultedRun(const std::vector<SweepCall>& calls, size_t index,
                            const SweepFault& fault,
                            const std::optional<std::string>& old_output) {
  const SweepCall& entry = calls[index];
  Expected expected = COMPLETE;
  if (!fault.transparent) {
    expected = AfterError(entry);
    // A write moved less than two bytes cannot be shortened: the write that
    // fails is then the next one, if there is one.
    if (std::string(fault.mode) == "short-then-fail" &&
        entry.call.result <= 1) {
      expected = COMPLETE;
      for (size_t next = index + 1; next < calls.size(); ++next) {
        if (calls[next].call.call_class == "write") {
          expected = AfterError(calls[next]);
          break;
        }
      }
    }
  }

  TempDir dir;
  WriteFileBytes(dir / "in.txt", INPUT);
  if (old_output) WriteFileBytes(dir / "out.txt", *old_output);
  FaultRun faulted = RunWithFault(
      dir, NAMES,
      Fault{entry.call.call_class, entry.call.nth, fault.error, fault.mode});

  // The fault must have been reached, or the run proves nothing.
  bool reached = false;
  for (const LoggedCall& call : faulted.calls)
    if (call.call_class == entry.call.call_class && call.nth == entry.call.nth)
      reached = true;
  EXPECT_TRUE(reached);

  const RunResult& run = faulted.run;
  EXPECT_FALSE(run.timed_out);
  EXPECT_FALSE(run.signalled);
  EXPECT_EQ(run.stderr_bytes, "");
  EXPECT_EQ(ReadFileBytes(dir / "in.txt"), INPUT);
  std::optional<std::string> output = ReadFileBytes(dir / "out.txt");
  if (expected.message.empty()) {
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.stdout_bytes, PROMPTS + "Finished.");
  } else {
    EXPECT_EQ(run.exit_status, FAILED);
    EXPECT_EQ(run.stdout_bytes, PROMPTS + expected.message);
  }
  if (expected.records) {
    EXPECT_EQ(output, FirstRecords(*expected.records));
  } else if (expected.created_empty_allowed && !old_output) {
    EXPECT_TRUE(!output || output->empty()) << *output;
  } else {
    EXPECT_EQ(output, old_output);
  }
  if (expected.message.empty()) return "Finished.";
  return expected.message.substr(0, expected.message.size() - 1);
}

struct SweepScenario {
  const char* name;
  std::optional<std::string> old_output;  // An output there before the run.
};

void PrintTo(const SweepScenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

class FaultSweep : public testing::TestWithParam<SweepScenario> {};

// Every call of a clean run, failed or shortened in every way that applies.
TEST_P(FaultSweep, EveryCallFailedInTurn) {
  const SweepScenario& scenario = GetParam();
  TempDir dir;
  WriteFileBytes(dir / "in.txt", INPUT);
  if (scenario.old_output)
    WriteFileBytes(dir / "out.txt", *scenario.old_output);
  FaultRun clean = RunWithFault(dir, NAMES, std::nullopt);
  ASSERT_EQ(clean.run.exit_status, 0);
  ASSERT_EQ(clean.run.stdout_bytes, PROMPTS + "Finished.");
  ASSERT_EQ(ReadFileBytes(dir / "out.txt"), FirstRecords(RECORDS.size()));
  ExpectInterposed(clean.calls, {"open", "fstat", "read", "write", "close",
                                 "ftruncate", "lseek"});
  std::vector<SweepCall> calls = Classify(clean.calls);

  // fault label -> what the runs showed -> how often.
  std::map<std::string, std::map<std::string, int>> seen;
  int runs = 0;
  for (const SweepFault& fault : SweepFaults()) {
    for (size_t i = 0; i < calls.size(); ++i) {
      if (!Applies(fault, calls[i].call.call_class)) continue;
      SCOPED_TRACE(std::string(fault.label) + " on " +
                   calls[i].call.call_class + " " +
                   std::to_string(calls[i].call.nth));
      std::string shown = CheckFaultedRun(calls, i, fault, scenario.old_output);
      ++seen[std::string(fault.label) + " on " + calls[i].call.call_class + " (" +
             RoleName(calls[i].role) + ")"][shown];
      ++runs;
    }
  }
  std::printf("%s: %zu calls in a clean run, %d faulted runs\n",
              scenario.name, calls.size(), runs);
  for (const auto& [label, outcomes] : seen)
    for (const auto& [shown, count] : outcomes)
      std::printf("  %-44s %3d x %s\n", label.c_str(), count, shown.c_str());
  RecordProperty("faulted_runs", runs);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, FaultSweep,
    testing::Values(SweepScenario{"NewOutput", std::nullopt},
                    SweepScenario{"StaleOutput", std::string("stale\nred\n")}),
    [](const testing::TestParamInfo<SweepScenario>& info) {
      return std::string(info.param.name);
    });

// Every read and every write moving half of what it asked for, from the
// first on: the lines must still come out whole and once each.
TEST(ShortTransfers, EveryReadAndWriteCutShort) {
  for (const char* call_class : {"read", "write"}) {
    SCOPED_TRACE(call_class);
    TempDir dir;
    WriteFileBytes(dir / "in.txt", INPUT);
    Fault fault{call_class, 1, "EIO", "short", true};
    FaultRun run = RunWithFault(dir, NAMES, fault);
    unsigned long shortened = 0;
    for (const LoggedCall& call : run.calls)
      if (call.call_class == call_class && call.result > 0) ++shortened;
    EXPECT_GT(shortened, RECORDS.size());
    EXPECT_EQ(run.run.exit_status, 0);
    EXPECT_EQ(run.run.stdout_bytes, PROMPTS + "Finished.");
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), FirstRecords(RECORDS.size()));
  }
}

// A real file size limit, at every byte of the output: the kernel writes
// what fits and then fails with EFBIG, and the part that fit must go.
TEST(FileSizeLimit, EveryLimitLeavesWholeLines) {
  const std::string complete = FirstRecords(RECORDS.size());
  for (size_t limit = 0; limit <= complete.size(); ++limit) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    size_t fitting = 0;
    while (fitting < RECORDS.size() &&
           FirstRecords(fitting + 1).size() <= limit)
      ++fitting;
    TempDir dir;
    WriteFileBytes(dir / "in.txt", INPUT);
    RunOptions options;
    options.working_directory = dir.path();
    options.file_size_limit = static_cast<long>(limit);
    RunResult run = RunProgram(NAMES, options);
    ASSERT_FALSE(run.timed_out);
    ASSERT_FALSE(run.signalled);
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), FirstRecords(fitting));
    if (fitting == RECORDS.size()) {
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.stdout_bytes, PROMPTS + "Finished.");
    } else {
      EXPECT_EQ(run.exit_status, FAILED);
      EXPECT_EQ(run.stdout_bytes, PROMPTS + "Can not write file out.txt.\n");
    }
  }
}

// Standard output that cannot be written: the copy is still made, but the
// caller never saw "Finished.", so the run must not claim success.
TEST(StandardOutput, UnwritableMakesTheRunFail) {
  TempDir dir;
  WriteFileBytes(dir / "in.txt", INPUT);
  RunOptions options;
  options.working_directory = dir.path();
  options.stdout_path = "/dev/full";
  RunResult run = RunProgram(NAMES, options);
  ASSERT_FALSE(run.timed_out);
  ASSERT_FALSE(run.signalled);
  EXPECT_EQ(run.exit_status, FAILED);
  EXPECT_EQ(run.stderr_bytes, "");
  EXPECT_EQ(ReadFileBytes(dir / "out.txt"), FirstRecords(RECORDS.size()));
}

}  // namespace
