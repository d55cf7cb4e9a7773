// Loaded with LD_PRELOAD into the program under test: logs every file call
// the program makes and makes one chosen call fail or come back short.
//
// Configured only through these environment variables:
//   FAULT_LOG     file that receives one line per call:
//                 "<class> <nth> <fd> <result> <errno> [<flags> <path>]"
//   FAULT_CALL    class of the call to disturb: open (open, open64, openat,
//                 openat64), fstat (fstat, fstat64), read, write, close,
//                 ftruncate (ftruncate, ftruncate64), lseek (lseek, lseek64)
//   FAULT_NTH     which call of that class, counting from 1
//   FAULT_ERRNO   errno to fail with, by number or name (EIO, ENOSPC, ...)
//   FAULT_MODE    fail: the call does nothing and fails (default);
//                 short: a read or write moves only half of what it was
//                 asked for; short-then-fail: short, and the next call of
//                 the class fails, the way a filling disk behaves
//   FAULT_REPEAT  1: disturb the Nth call and every later one of the class
//
// glibc's stdio reaches the kernel through internal calls that preloading
// cannot see, so standard input and output never show up here.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

enum CallClass { OPEN, FSTAT, READ, WRITE, CLOSE, FTRUNCATE, LSEEK, CLASSES };
const char* const CLASS_NAMES[CLASSES] = {"open",  "fstat",     "read", "write",
                                          "close", "ftruncate", "lseek"};

enum class Mode { FAIL, SHORT, SHORT_THEN_FAIL };

struct Config {
  bool loaded = false;
  int log_fd = -1;
  int target = -1;  // CallClass, or -1 for no fault.
  unsigned long nth = 0;
  int error = EIO;
  Mode mode = Mode::FAIL;
  bool repeat = false;
  unsigned long counts[CLASSES] = {};
  bool fail_next = false;  // Set by a short-then-fail call.
};

Config g_config;

// Real functions, looked up on first use. Every call below goes through
// them, never through our own wrappers.
using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using FstatFn = int (*)(int, struct stat*);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using CloseFn = int (*)(int);
using FtruncateFn = int (*)(int, off_t);
using LseekFn = off_t (*)(int, off_t, int);

template <typename Fn>
Fn Real(const char* name) {
  void* symbol = ::dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) ::abort();
  return reinterpret_cast<Fn>(symbol);
}

WriteFn RealWrite() {
  static WriteFn fn = Real<WriteFn>("write");
  return fn;
}

int ErrnoFromName(const char* text) {
  struct Named {
    const char* name;
    int value;
  };
  static const Named NAMES[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC},
                                {"EFBIG", EFBIG},   {"EINTR", EINTR},
                                {"EACCES", EACCES}, {"ENOENT", ENOENT},
                                {"EDQUOT", EDQUOT}, {"EBADF", EBADF}};
  for (const Named& named : NAMES)
    if (std::strcmp(text, named.name) == 0) return named.value;
  int value = std::atoi(text);
  return value > 0 ? value : EIO;
}

void Load() {
  Config& c = g_config;
  if (c.loaded) return;
  c.loaded = true;
  if (const char* log = std::getenv("FAULT_LOG")) {
    static OpenFn real_open = Real<OpenFn>("open");
    int fd = real_open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      // Out of the way of the descriptors the program will get.
      int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 500);
      static CloseFn real_close = Real<CloseFn>("close");
      real_close(fd);
      c.log_fd = high;
    }
  }
  const char* call = std::getenv("FAULT_CALL");
  const char* nth = std::getenv("FAULT_NTH");
  if (call != nullptr && nth != nullptr) {
    for (int i = 0; i < CLASSES; ++i)
      if (std::strcmp(call, CLASS_NAMES[i]) == 0) c.target = i;
    c.nth = std::strtoul(nth, nullptr, 10);
  }
  if (const char* error = std::getenv("FAULT_ERRNO"))
    c.error = ErrnoFromName(error);
  if (const char* mode = std::getenv("FAULT_MODE")) {
    if (std::strcmp(mode, "short") == 0) c.mode = Mode::SHORT;
    if (std::strcmp(mode, "short-then-fail") == 0)
      c.mode = Mode::SHORT_THEN_FAIL;
  }
  const char* repeat = std::getenv("FAULT_REPEAT");
  c.repeat = repeat != nullptr && std::strcmp(repeat, "1") == 0;
}

// What to do with one call.
enum class Action { PASS, FAIL, SHORT };

struct Call {
  CallClass call_class;
  unsigned long nth;
  Action action;
};

Call Begin(CallClass call_class) {
  Load();
  Config& c = g_config;
  unsigned long nth = ++c.counts[call_class];
  Action action = Action::PASS;
  if (call_class == c.target) {
    if (c.fail_next) {
      c.fail_next = false;
      action = Action::FAIL;
    } else if (nth == c.nth || (c.repeat && nth > c.nth)) {
      action = c.mode == Mode::FAIL ? Action::FAIL : Action::SHORT;
      if (c.mode == Mode::SHORT_THEN_FAIL) c.fail_next = true;
    }
  }
  return {call_class, nth, action};
}

void Append(char*& out, const char* end, const char* text) {
  while (*text != '\0' && out < end) *out++ = *text++;
}

void AppendNumber(char*& out, const char* end, long long value) {
  char digits[24];
  int length = 0;
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                : static_cast<unsigned long long>(value);
  do {
    digits[length++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0 && out < end) *out++ = '-';
  while (length > 0 && out < end) *out++ = digits[--length];
}

// Logs the call without touching errno, which the caller is about to read.
void Log(const Call& call, int fd, long long result, int error, int flags = 0,
         const char* path = nullptr) {
  if (g_config.log_fd < 0) return;
  int saved_errno = errno;
  char line[4096 + 128];
  char* out = line;
  const char* end = line + sizeof line - 1;
  Append(out, end, CLASS_NAMES[call.call_class]);
  Append(out, end, " ");
  AppendNumber(out, end, static_cast<long long>(call.nth));
  Append(out, end, " ");
  AppendNumber(out, end, fd);
  Append(out, end, " ");
  AppendNumber(out, end, result);
  Append(out, end, " ");
  AppendNumber(out, end, result < 0 ? error : 0);
  if (path != nullptr) {
    Append(out, end, " ");
    AppendNumber(out, end, flags);
    Append(out, end, " ");
    Append(out, end, path);
  }
  *out++ = '\n';
  const char* next = line;
  while (next < out) {
    ssize_t count =
        RealWrite()(g_config.log_fd, next, static_cast<size_t>(out - next));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    next += count;
  }
  errno = saved_errno;
}

template <typename T>
T Failed(const Call& call, int fd, int flags = 0, const char* path = nullptr) {
  Log(call, fd, -1, g_config.error, flags, path);
  errno = g_config.error;
  return static_cast<T>(-1);
}

size_t Shortened(size_t size) { return size > 1 ? size / 2 : size; }

int OpenCommon(int dir_fd, const char* path, int flags, mode_t mode) {
  static OpenAtFn real_openat = Real<OpenAtFn>("openat");
  Call call = Begin(OPEN);
  if (call.action == Action::FAIL) return Failed<int>(call, -1, flags, path);
  int fd = real_openat(dir_fd, path, flags, mode);
  Log(call, fd, fd, errno, flags, path);
  return fd;
}

// The mode argument exists only when the file may be created.
bool HasModeArgument(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int FstatCommon(const char* name, int fd, struct stat* info) {
  Call call = Begin(FSTAT);
  if (call.action == Action::FAIL) return Failed<int>(call, fd);
  FstatFn real = Real<FstatFn>(name);
  int rc = real(fd, info);
  Log(call, fd, rc, errno);
  return rc;
}

int FtruncateCommon(int fd, off_t length) {
  static FtruncateFn real = Real<FtruncateFn>("ftruncate");
  Call call = Begin(FTRUNCATE);
  if (call.action == Action::FAIL) return Failed<int>(call, fd);
  int rc = real(fd, length);
  Log(call, fd, rc, errno);
  return rc;
}

off_t LseekCommon(int fd, off_t offset, int whence) {
  static LseekFn real = Real<LseekFn>("lseek");
  Call call = Begin(LSEEK);
  if (call.action == Action::FAIL) return Failed<off_t>(call, fd);
  off_t rc = real(fd, offset, whence);
  Log(call, fd, rc, errno);
  return rc;
}

}  // namespace

extern "C" {

// The mode argument that the open family takes only with O_CREAT or
// O_TMPFILE. A macro, since va_start must stand in the function itself.
// The analyzer misses that va_start in functions named like libc's.
#define TAKE_MODE_ARGUMENT(flags, mode)                                  \
  do {                                                                   \
    if (HasModeArgument(flags)) {                                        \
      va_list args;                                                      \
      va_start(args, flags);                                             \
      /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */          \
      (mode) = static_cast<mode_t>(va_arg(args, int));                   \
      va_end(args);                                                      \
    }                                                                    \
  } while (false)

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  TAKE_MODE_ARGUMENT(flags, mode);
  return OpenCommon(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  TAKE_MODE_ARGUMENT(flags, mode);
  return OpenCommon(AT_FDCWD, path, flags, mode);
}

int openat(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  TAKE_MODE_ARGUMENT(flags, mode);
  return OpenCommon(dir_fd, path, flags, mode);
}

int openat64(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  TAKE_MODE_ARGUMENT(flags, mode);
  return OpenCommon(dir_fd, path, flags, mode);
}

int fstat(int fd, struct stat* info) { return FstatCommon("fstat", fd, info); }

int fstat64(int fd, struct stat64* info) {
  return FstatCommon("fstat64", fd, reinterpret_cast<struct stat*>(info));
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ReadFn real = Real<ReadFn>("read");
  Call call = Begin(READ);
  if (call.action == Action::FAIL) return Failed<ssize_t>(call, fd);
  size_t asked = call.action == Action::SHORT ? Shortened(size) : size;
  ssize_t count = real(fd, buffer, asked);
  Log(call, fd, count, errno);
  return count;
}

ssize_t write(int fd, const void* data, size_t size) {
  Call call = Begin(WRITE);
  if (call.action == Action::FAIL) return Failed<ssize_t>(call, fd);
  size_t asked = call.action == Action::SHORT ? Shortened(size) : size;
  ssize_t count = RealWrite()(fd, data, asked);
  Log(call, fd, count, errno);
  return count;
}

int close(int fd) {
  static CloseFn real = Real<CloseFn>("close");
  Call call = Begin(CLOSE);
  // Linux releases the descriptor even when close reports an error.
  int rc = real(fd);
  if (call.action == Action::FAIL) return Failed<int>(call, fd);
  Log(call, fd, rc, errno);
  return rc;
}

int ftruncate(int fd, off_t length) { return FtruncateCommon(fd, length); }
int ftruncate64(int fd, off_t length) { return FtruncateCommon(fd, length); }
off_t lseek(int fd, off_t offset, int whence) {
  return LseekCommon(fd, offset, whence);
}
off_t lseek64(int fd, off_t offset, int whence) {
  return LseekCommon(fd, offset, whence);
}

}  // extern "C"
