// The program on a pseudo-terminal, as a user at a console sees it: what
// the screen shows, that it waits for one key, and that the terminal is
// left as it was found.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string COLOURS = "red\nblue\nred\n\ngreen\n\nblue\n";
const std::string COLOURS_UNIQUE = "red\nblue\n\ngreen\n";

// Long enough for a slow machine to have ended a program that does not
// wait; a program that waits must still be there afterwards.
constexpr auto STILL_WAITING_AFTER = std::chrono::milliseconds(300);
constexpr double DEADLINE_SECONDS = 10;

// The program started in its own session with a pseudo-terminal as its
// controlling terminal. The test keeps the terminal's own side open too, to
// look at its settings and at input nobody has read.
class TerminalSession {
 public:
  ~TerminalSession() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
    if (terminal_ >= 0) ::close(terminal_);
    if (job_events_ >= 0) ::close(job_events_);
  }

  // Standard input is the terminal, or a pipe holding `piped_stdin`.
  void Start(const std::string& directory,
             std::optional<std::string> piped_stdin = std::nullopt) {
    StartSession(directory, piped_stdin, false);
  }

  // As a shell with job control runs it: in a process group of its own in
  // the foreground, with a parent in the session that can see it stop.
  // pid() is then the program's, and stops() counts its stops.
  void StartAsJob(const std::string& directory) {
    StartSession(directory, std::nullopt, true);
  }

  int stops() {
    char event;
    while (::read(job_events_, &event, 1) == 1) ++stops_;
    return stops_;
  }

 private:
  // The session leader's part in StartAsJob: start the program as a
  // foreground job, report its pid and its stops, end as it ends.
  [[noreturn]] void RunJob(int events) {
    pid_t job = ::fork();
    if (job == 0) {
      ::setpgid(0, 0);
      ::signal(SIGTTOU, SIG_IGN);
      ::tcsetpgrp(terminal_, ::getpgrp());
      ::signal(SIGTTOU, SIG_DFL);
      ExecProgram();
    }
    ::setpgid(job, job);
    ::signal(SIGTTOU, SIG_IGN);
    ::tcsetpgrp(terminal_, job);
    if (::write(events, &job, sizeof job) != sizeof job) ::_exit(126);
    for (;;) {
      int status;
      if (::waitpid(job, &status, WUNTRACED) != job) ::_exit(126);
      if (WIFSTOPPED(status)) {
        if (::write(events, "S", 1) != 1) ::_exit(126);
        continue;
      }
      ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
  }

  void StartSession(const std::string& directory,
                    std::optional<std::string> piped_stdin, bool as_job) {
    ASSERT_EQ(::openpty(&master_, &terminal_, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::tcgetattr(terminal_, &initial_settings_), 0);
    int stdin_pipe[2] = {-1, -1};
    int events[2] = {-1, -1};
    if (as_job) {
      ASSERT_EQ(::pipe(events), 0);
    }
    if (piped_stdin) {
      ASSERT_EQ(::pipe(stdin_pipe), 0);
    }
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::setsid();
      ::ioctl(terminal_, TIOCSCTTY, 0);
      ::dup2(piped_stdin ? stdin_pipe[0] : terminal_, 0);
      ::dup2(terminal_, 1);
      ::dup2(terminal_, 2);
      ::close(master_);
      if (::chdir(directory.c_str()) != 0) ::_exit(126);
      if (as_job) RunJob(events[1]);
      ExecProgram();
    }
    if (as_job) {
      ::close(events[1]);
      job_events_ = events[0];
      ASSERT_EQ(::read(job_events_, &job_pid_, sizeof job_pid_),
                static_cast<ssize_t>(sizeof job_pid_));
      ::fcntl(job_events_, F_SETFL, O_NONBLOCK);
    }
    if (piped_stdin) {
      ::close(stdin_pipe[0]);
      ASSERT_EQ(::write(stdin_pipe[1], piped_stdin->data(), piped_stdin->size()),
                static_cast<ssize_t>(piped_stdin->size()));
      ::close(stdin_pipe[1]);
    }
  }

 public:
  // Collects what the program writes until `text` has appeared.
  bool WaitFor(const std::string& text) {
    auto deadline = Clock::now() + std::chrono::duration<double>(DEADLINE_SECONDS);
    while (screen_.find(text) == std::string::npos) {
      if (Clock::now() > deadline) return false;
      ReadScreen(50);
    }
    return true;
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
  }

  // True when the program ended within `seconds`; `status` as waitpid says.
  bool Exited(double seconds) {
    if (job_pid_ > 0 && exited_) return true;
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
      pid_t done = ::waitpid(pid_, &status_, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        ReadScreen(0);
        return true;
      }
      ReadScreen(20);
    }
    return false;
  }

  bool StillWaiting() {
    std::this_thread::sleep_for(STILL_WAITING_AFTER);
    return !Exited(0.05);
  }

  tcflag_t LocalModes() const {
    struct termios settings;
    return ::tcgetattr(terminal_, &settings) == 0 ? settings.c_lflag : 0;
  }
  const struct termios& initial_settings() const { return initial_settings_; }

  // Bytes typed that nobody has read; after the program they would go to
  // the shell.
  int UnreadInput() const {
    int count = -1;
    ::ioctl(terminal_, FIONREAD, &count);
    return count;
  }

  pid_t pid() const { return job_pid_ > 0 ? job_pid_ : pid_; }
  int status() const { return status_; }
  const std::string& screen() const { return screen_; }

 private:
  void ReadScreen(int timeout_ms) {
    struct pollfd ready = {master_, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t count = ::read(master_, buffer, sizeof buffer);
    if (count > 0) screen_.append(buffer, static_cast<size_t>(count));
  }

  int master_ = -1;
  int terminal_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  pid_t job_pid_ = -1;
  int job_events_ = -1;
  int stops_ = 0;
  std::string screen_;
  struct termios initial_settings_ = {};
};

constexpr tcflag_t KEY_WAIT_MODES = ICANON | ECHO;

bool HoldsOpen(pid_t pid, const std::string& path) {
  std::string directory = "/proc/" + std::to_string(pid) + "/fd/";
  for (int fd = 0; fd < 64; ++fd) {
    char target[PATH_MAX];
    ssize_t length = ::readlink((directory + std::to_string(fd)).c_str(),
                                target, sizeof target);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == path)
      return true;
  }
  return false;
}

// Names typed at the prompts, then the screen as a user sees it.
struct DialogueCase {
  const char* name;
  const char* input_name;
  std::string screen_after_names;
  int exit_status;
};

// Names the case where a test's parameter is printed.
void PrintTo(const DialogueCase& c, std::ostream* out) { *out << c.name; }

class Dialogue : public testing::TestWithParam<DialogueCase> {};

TEST_P(Dialogue, EndsWithOneUnechoedKey) {
  const DialogueCase& c = GetParam();
  TempDir dir;
  WriteFileBytes(dir / "in.txt", COLOURS);
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(session.Start(dir.path()));
  ASSERT_TRUE(session.WaitFor("Enter the inputfile:")) << session.screen();
  session.Type(std::string(c.input_name) + "\r");
  ASSERT_TRUE(session.WaitFor("Enter the outputfile:")) << session.screen();
  session.Type("out.txt\r");
  ASSERT_TRUE(session.WaitFor(c.screen_after_names)) << session.screen();

  ASSERT_TRUE(session.StillWaiting());
  EXPECT_EQ(session.screen(), "Enter the inputfile:" + std::string(c.input_name) +
                                  "\r\nEnter the outputfile:out.txt\r\n" +
                                  c.screen_after_names);
  EXPECT_EQ(session.LocalModes() & KEY_WAIT_MODES, 0u) << "echo or lines on";
  EXPECT_FALSE(HoldsOpen(session.pid(), dir / "out.txt"))
      << "output still open during the wait";
  if (c.exit_status == 0) {
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), COLOURS_UNIQUE);
  }

  session.Type("k");
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  ASSERT_TRUE(WIFEXITED(session.status()));
  EXPECT_EQ(WEXITSTATUS(session.status()), c.exit_status);
  EXPECT_EQ(session.screen().find('k'), std::string::npos) << "key echoed";
  EXPECT_EQ(session.LocalModes(), session.initial_settings().c_lflag);
  EXPECT_EQ(session.UnreadInput(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Dialogue,
    testing::Values(
        DialogueCase{"CompleteRun", "in.txt", "Finished.", 0},
        DialogueCase{"MissingInput", "missing.txt",
                     "Can not open file missing.txt for read.\r\n", 255}),
    [](const testing::TestParamInfo<DialogueCase>& info) {
      return std::string(info.param.name);
    });

// Starts a complete run with both names on one typed line and waits until
// the program shows "Finished.".
void StartWaitingSession(TerminalSession& session, const TempDir& dir,
                         const std::string& typed_line) {
  WriteFileBytes(dir / "in.txt", COLOURS);
  ASSERT_NO_FATAL_FAILURE(session.Start(dir.path()));
  ASSERT_TRUE(session.WaitFor("Enter the inputfile:"));
  session.Type(typed_line);
  ASSERT_TRUE(session.WaitFor("Finished.")) << session.screen();
  ASSERT_TRUE(session.StillWaiting());
}

struct KeyCase {
  const char* name;
  std::string bytes;
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.name; }

class OneKey : public testing::TestWithParam<KeyCase> {};

// Keys that send several bytes are one press, and leave nothing behind.
TEST_P(OneKey, EndsTheWaitAndLeavesNothingUnread) {
  TempDir dir;
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(StartWaitingSession(session, dir, "in.txt out.txt\r"));
  session.Type(GetParam().bytes);
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  EXPECT_TRUE(WIFEXITED(session.status()) && WEXITSTATUS(session.status()) == 0);
  EXPECT_EQ(session.UnreadInput(), 0);
  EXPECT_EQ(session.LocalModes(), session.initial_settings().c_lflag);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, OneKey,
    testing::Values(KeyCase{"Letter", "q"}, KeyCase{"Enter", "\r"},
                    KeyCase{"ArrowUp", "\x1b[A"}, KeyCase{"F1", "\x1bOP"},
                    KeyCase{"F5", "\x1b[15~"}, KeyCase{"Utf8Letter", "\xc3\xa9"}),
    [](const testing::TestParamInfo<KeyCase>& info) {
      return std::string(info.param.name);
    });

TEST(KeyWait, WordsTypedAfterTheOutputNameDoNotEndIt) {
  TempDir dir;
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(
      StartWaitingSession(session, dir, "in.txt out.txt more words\r"));
  session.Type("x");
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  EXPECT_EQ(ReadFileBytes(dir / "out.txt"), COLOURS_UNIQUE);
}

TEST(KeyWait, KeyComesFromTheTerminalWhenNamesArePiped) {
  TempDir dir;
  WriteFileBytes(dir / "in.txt", COLOURS);
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(
      session.Start(dir.path(), std::string("in.txt out.txt extra\n")));
  ASSERT_TRUE(session.WaitFor("Finished.")) << session.screen();
  ASSERT_TRUE(session.StillWaiting()) << "took its key from standard input";
  EXPECT_EQ(session.screen(), "Enter the inputfile:Enter the outputfile:Finished.");
  session.Type("x");
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  EXPECT_TRUE(WIFEXITED(session.status()) && WEXITSTATUS(session.status()) == 0);
}

class SignalDuringWait : public testing::TestWithParam<int> {};

TEST_P(SignalDuringWait, RestoresTheTerminalAndDiesOfIt) {
  TempDir dir;
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(StartWaitingSession(session, dir, "in.txt out.txt\r"));
  ASSERT_EQ(session.LocalModes() & KEY_WAIT_MODES, 0u);
  ASSERT_EQ(::kill(session.pid(), GetParam()), 0);
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  ASSERT_TRUE(WIFSIGNALED(session.status()));
  EXPECT_EQ(WTERMSIG(session.status()), GetParam());
  EXPECT_EQ(session.LocalModes(), session.initial_settings().c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringWait,
                         testing::Values(SIGINT, SIGTERM, SIGQUIT, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

TEST(KeyWait, CtrlCTypedEndsItAndRestoresTheTerminal) {
  TempDir dir;
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(StartWaitingSession(session, dir, "in.txt out.txt\r"));
  session.Type("\x03");
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  ASSERT_TRUE(WIFSIGNALED(session.status()));
  EXPECT_EQ(WTERMSIG(session.status()), SIGINT);
  EXPECT_EQ(session.LocalModes(), session.initial_settings().c_lflag);
}

// Ctrl-Z gives the terminal back while the program is stopped; when the
// program continues it takes its key-wait mode again.
TEST(KeyWait, SuspendRestoresAndContinueResumes) {
  TempDir dir;
  WriteFileBytes(dir / "in.txt", COLOURS);
  TerminalSession session;
  ASSERT_NO_FATAL_FAILURE(session.StartAsJob(dir.path()));
  ASSERT_TRUE(session.WaitFor("Enter the inputfile:"));
  session.Type("in.txt out.txt\r");
  ASSERT_TRUE(session.WaitFor("Finished.")) << session.screen();
  ASSERT_TRUE(session.StillWaiting());
  ASSERT_EQ(session.LocalModes() & KEY_WAIT_MODES, 0u);

  session.Type("\x1a");
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (session.stops() == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(session.stops(), 1) << "Ctrl-Z did not stop it";
  EXPECT_EQ(session.LocalModes(), session.initial_settings().c_lflag);

  ASSERT_EQ(::kill(session.pid(), SIGCONT), 0);
  while ((session.LocalModes() & KEY_WAIT_MODES) != 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(session.LocalModes() & KEY_WAIT_MODES, 0u) << "mode not taken again";

  session.Type("k");
  ASSERT_TRUE(session.Exited(DEADLINE_SECONDS));
  EXPECT_TRUE(WIFEXITED(session.status()) && WEXITSTATUS(session.status()) == 0);
  EXPECT_EQ(session.LocalModes(), session.initial_settings().c_lflag);
  EXPECT_EQ(session.screen().find('k'), std::string::npos) << "key echoed";
}

}  // namespace
