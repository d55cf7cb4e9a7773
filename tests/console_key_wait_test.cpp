// Runs the program on a terminal of its own, as a user at a console would,
// to see the key wait: it must hold the program until a key is pressed,
// and the key must not show.

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds));
}

// The terminal's own control sequences (Wine's console draws every
// character with some, and blanks as cursor moves), so
// that only characters meant to be seen are left.
std::string VisibleText(const std::string& screen) {
  static const std::regex CONTROL("\x1b(\\[[0-9;?]*[ -/]*[@-~]|\\][^\x07]*\x07|.)");
  return std::regex_replace(screen, CONTROL, "");
}

// The program's side of a terminal, killed if a test leaves it running.
class TerminalRun {
 public:
  explicit TerminalRun(const std::string& directory) {
    struct winsize size = {24, 80, 0, 0};
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      if (::chdir(directory.c_str()) != 0) ::_exit(126);
      ExecProgram();
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  bool started() const { return pid_ > 0 && master_ >= 0; }

  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
  }

  // Collects what the terminal shows until `text` (without blanks) is seen
  // or time is up.
  bool WaitForScreenText(const std::string& text, double seconds) {
    Clock::time_point deadline = After(seconds);
    while (VisibleText(screen_).find(text) == std::string::npos) {
      if (!ReadScreen(deadline)) return false;
    }
    return true;
  }

  // The exit status, or nothing when the program is still running.
  std::optional<int> ExitStatusAfter(double seconds) {
    Clock::time_point deadline = After(seconds);
    for (;;) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        // Whatever it wrote last is still to be read.
        while (ReadScreen(Clock::now() + std::chrono::milliseconds(100))) {
        }
        if (!WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
      }
      if (Clock::now() >= deadline) return std::nullopt;
      ReadScreen(Clock::now() + std::chrono::milliseconds(50));
    }
  }

  const std::string& screen() const { return screen_; }

 private:
  bool ReadScreen(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now())
                    .count();
    if (left <= 0) return false;
    struct pollfd ready = {master_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    ssize_t count = ::read(master_, buffer, sizeof buffer);
    if (count <= 0) return false;  // EIO once the program has gone.
    screen_.append(buffer, static_cast<size_t>(count));
    return true;
  }

  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string screen_;
};


TEST(KeyWait, HoldsTheEndUntilAKeyIsPressedAndDoesNotEchoIt) {
  TempDir dir;
  WriteFileBytes(dir / "in.txt", "a\nb\na\n");
  TerminalRun run(dir.path());
  ASSERT_TRUE(run.started());

  ASSERT_TRUE(run.WaitForScreenText("inputfile:", 30)) << run.screen();
  // Keys typed before the program reads them would meet the terminal in
  // the wrong mode (Wine's console sets its own only when it reads), so
  // type as a user would, a moment after the prompt.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  run.Type("in.txt out.txt\r");
  ASSERT_TRUE(run.WaitForScreenText("Finished.", 20)) << run.screen();
  // The output is complete before the wait begins.
  EXPECT_EQ(ReadFileBytes(dir / "out.txt"),
            TargetIsWindows() ? "a\r\nb\r\n" : "a\nb\n");

  EXPECT_EQ(run.ExitStatusAfter(1.0), std::nullopt) << "ended without a key";
  size_t before_key = run.screen().size();
  run.Type("q");
  EXPECT_EQ(run.ExitStatusAfter(10), 0) << run.screen();
  EXPECT_EQ(VisibleText(run.screen().substr(before_key)).find('q'),
            std::string::npos)
      << "the key was echoed: " << run.screen().substr(before_key);
}

}  // namespace
