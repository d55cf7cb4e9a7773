#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The signal handlers need the terminal and its saved settings; they are
// set only while a KeyWaitMode exists.
volatile sig_atomic_t g_tty_fd = -1;
struct termios g_saved_settings;
struct termios g_wait_settings;

constexpr int RESTORING_SIGNALS[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// How long the rest of a multi-byte key (an arrow's escape sequence) may
// take to arrive after its first byte.
constexpr int KEY_TAIL_TIMEOUT_MS = 50;

void RestoreTerminal() {
  if (g_tty_fd >= 0) tcsetattr(g_tty_fd, TCSAFLUSH, &g_saved_settings);
}

void OnTerminatingSignal(int signal_number) {
  int saved_errno = errno;
  RestoreTerminal();
  // Die of the same signal, so that the caller sees why we ended. Inside a
  // handler nothing more can be done should either call fail.
  (void)::signal(signal_number, SIG_DFL);
  (void)::raise(signal_number);
  errno = saved_errno;
}

void OnStop(int) {
  int saved_errno = errno;
  RestoreTerminal();
  (void)::signal(SIGTSTP, SIG_DFL);
  (void)::raise(SIGTSTP);
  errno = saved_errno;
}

void OnContinue(int) {
  int saved_errno = errno;
  // Back from a stop: take the terminal again, and stop properly next time.
  if (g_tty_fd >= 0) tcsetattr(g_tty_fd, TCSAFLUSH, &g_wait_settings);
  struct sigaction stop = {};
  stop.sa_handler = OnStop;
  sigemptyset(&stop.sa_mask);
  ::sigaction(SIGTSTP, &stop, nullptr);
  errno = saved_errno;
}

// Owns the terminal descriptor, the key-wait mode and the signal handlers
// that restore the terminal; the destructor undoes all of them.
class KeyWaitMode {
 public:
  explicit KeyWaitMode(int tty_fd) : tty_fd_(tty_fd) {}
  KeyWaitMode(const KeyWaitMode&) = delete;
  KeyWaitMode& operator=(const KeyWaitMode&) = delete;

  bool Enter() {
    if (tcgetattr(tty_fd_, &g_saved_settings) != 0) return false;
    g_wait_settings = g_saved_settings;
    g_wait_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    g_wait_settings.c_cc[VMIN] = 1;
    g_wait_settings.c_cc[VTIME] = 0;

    struct sigaction handler = {};
    sigemptyset(&handler.sa_mask);
    for (int signal_number : RESTORING_SIGNALS)
      sigaddset(&handler.sa_mask, signal_number);
    handler.sa_handler = OnTerminatingSignal;
    for (size_t i = 0; i < NUM_SIGNALS; ++i)
      ::sigaction(RESTORING_SIGNALS[i], &handler, &previous_[i]);
    handler.sa_handler = OnStop;
    ::sigaction(SIGTSTP, &handler, &previous_stop_);
    handler.sa_handler = OnContinue;
    ::sigaction(SIGCONT, &handler, &previous_continue_);
    handlers_installed_ = true;

    g_tty_fd = tty_fd_;
    // TCSAFLUSH drops keys typed ahead, so only a key pressed now counts.
    if (tcsetattr(tty_fd_, TCSAFLUSH, &g_wait_settings) != 0) return false;
    mode_set_ = true;
    return true;
  }

  ~KeyWaitMode() {
    if (mode_set_) RestoreTerminal();
    g_tty_fd = -1;
    if (handlers_installed_) {
      for (size_t i = 0; i < NUM_SIGNALS; ++i)
        ::sigaction(RESTORING_SIGNALS[i], &previous_[i], nullptr);
      ::sigaction(SIGTSTP, &previous_stop_, nullptr);
      ::sigaction(SIGCONT, &previous_continue_, nullptr);
    }
    ::close(tty_fd_);
  }

 private:
  static constexpr size_t NUM_SIGNALS =
      sizeof(RESTORING_SIGNALS) / sizeof(RESTORING_SIGNALS[0]);
  int tty_fd_;
  bool mode_set_ = false;
  bool handlers_installed_ = false;
  struct sigaction previous_[NUM_SIGNALS] = {};
  struct sigaction previous_stop_ = {};
  struct sigaction previous_continue_ = {};
};

// Reads one key press: its first byte, then whatever bytes follow it at
// once, so that an escape sequence or a UTF-8 character counts as one key.
void ReadOneKey(int tty_fd) {
  char bytes[64];
  for (;;) {
    ssize_t count = ::read(tty_fd, bytes, sizeof bytes);
    if (count > 0) break;
    if (count < 0 && errno == EINTR) continue;
    return;  // End of file or error: there is no key to wait for.
  }
  for (;;) {
    struct pollfd ready = {tty_fd, POLLIN, 0};
    int rc = ::poll(&ready, 1, KEY_TAIL_TIMEOUT_MS);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0 || (ready.revents & POLLIN) == 0) return;
    if (::read(tty_fd, bytes, sizeof bytes) <= 0) return;
  }
}

}  // namespace

void wait_for_key() {
  int tty_fd;
  do {
    tty_fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  } while (tty_fd < 0 && errno == EINTR);
  if (tty_fd < 0) return;  // No controlling terminal: nobody to wait for.
  KeyWaitMode mode(tty_fd);
  if (!mode.Enter()) return;
  ReadOneKey(tty_fd);
}
