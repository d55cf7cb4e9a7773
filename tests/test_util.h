// Shared fixtures: scoped temporary directories, file helpers and a way to
// run the program as a user would, without a terminal or through one.
#ifndef UNIQCOPY_TEST_UTIL_H_
#define UNIQCOPY_TEST_UTIL_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

/// A fresh directory, removed with everything in it when this goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

void WriteFileBytes(const std::string& path, const std::string& bytes);
/// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
/// Permission bits of the file, or -1.
int FileMode(const std::string& path);

/// The user that owns nothing, for runs where permissions must count.
constexpr uid_t NOBODY_UID = 65534;
constexpr gid_t NOBODY_GID = 65534;
bool RunningAsRoot();

/// How to start the program under test.
struct RunOptions {
  std::string working_directory;
  bool as_nobody = false;          // Drop to NOBODY_UID before the exec.
  long file_size_limit = -1;       // RLIMIT_FSIZE in bytes, if >= 0.
  mode_t umask_bits = 022;
  std::string stdout_path;         // Standard output to this file instead.
  double timeout_seconds = 20;
  std::vector<std::string> environment;  // "NAME=value" added for the run.
};

struct RunResult {
  bool timed_out = false;
  int exit_status = -1;            // Valid when !signalled and !timed_out.
  bool signalled = false;
  std::string stdout_bytes;
  std::string stderr_bytes;
};

/// True when the program under test is the Windows build (under Wine),
/// whose text mode stores line ends and reads CR and 0x1A differently.
bool TargetIsWindows();

/// The command that starts the program: the built binary, or whatever
/// UNIQCOPY_COMMAND (words separated by blanks) names.
std::vector<std::string> ProgramCommand();

/// Replaces this (forked) process with the program; exits 127 if it cannot.
[[noreturn]] void ExecProgram();

/// Runs the program in a new session, without a controlling terminal, with
/// `stdin_bytes` on a pipe as standard input.
RunResult RunProgram(const std::string& stdin_bytes, const RunOptions& options);

#endif  // UNIQCOPY_TEST_UTIL_H_
