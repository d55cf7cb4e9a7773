#include "test_util.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") +
                        "/uniqcopy-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = buffer.data();
  // Reachable for the unprivileged runs; each test narrows what it needs.
  ::chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
  ::nftw(
      path_.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) {
        return ::remove(path) == 0 ? 0 : 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool PathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

int FileMode(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

bool RunningAsRoot() { return ::geteuid() == 0; }

bool TargetIsWindows() {
  const char* target = std::getenv("UNIQCOPY_TARGET");
  return target && std::string(target) == "windows";
}

std::vector<std::string> ProgramCommand() {
  std::vector<std::string> words;
  const char* command = std::getenv("UNIQCOPY_COMMAND");
  std::istringstream stream(command && *command ? command : UNIQCOPY_BINARY);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

void ExecProgram() {
  std::vector<std::string> command = ProgramCommand();
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

namespace {

void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void ExecChild(const RunOptions& options, int stdin_fd,
                            int stdout_fd, int stderr_fd) {
  ::setsid();
  ::dup2(stdin_fd, 0);
  ::dup2(stdout_fd, 1);
  ::dup2(stderr_fd, 2);
  ::umask(options.umask_bits);
  ::signal(SIGPIPE, SIG_DFL);
  if (options.file_size_limit >= 0) {
    struct rlimit limit = {static_cast<rlim_t>(options.file_size_limit),
                           static_cast<rlim_t>(options.file_size_limit)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    // A write past the limit then fails with EFBIG instead of killing.
    ::signal(SIGXFSZ, SIG_IGN);
  }
  if (!options.working_directory.empty() &&
      ::chdir(options.working_directory.c_str()) != 0)
    ::_exit(126);
  if (options.as_nobody &&
      (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY_GID) != 0 ||
       ::setuid(NOBODY_UID) != 0))
    ::_exit(126);
  for (const std::string& setting : options.environment) {
    size_t equals = setting.find('=');
    if (equals == std::string::npos ||
        ::setenv(setting.substr(0, equals).c_str(),
                 setting.c_str() + equals + 1, 1) != 0)
      ::_exit(126);
  }
  ExecProgram();
}

}  // namespace

RunResult RunProgram(const std::string& stdin_bytes,
                     const RunOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0)
    std::abort();
  int stdout_target = out_pipe[1];
  if (!options.stdout_path.empty()) {
    stdout_target = ::open(options.stdout_path.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (stdout_target < 0) std::abort();
  }
  pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) ExecChild(options, in_pipe[0], stdout_target, err_pipe[1]);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (stdout_target != out_pipe[1]) ::close(stdout_target);
  SetNonBlocking(in_pipe[1]);
  SetNonBlocking(out_pipe[0]);
  SetNonBlocking(err_pipe[0]);

  RunResult result;
  size_t written = 0;
  int stdin_fd = in_pipe[1];
  if (stdin_bytes.empty()) {
    ::close(stdin_fd);
    stdin_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration<double>(options.timeout_seconds);
  ::signal(SIGPIPE, SIG_IGN);
  while (out_fd >= 0 || err_fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd fds[3] = {{out_fd, POLLIN, 0},
                            {err_fd, POLLIN, 0},
                            {stdin_fd, POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_fd : err_fd;
      if (fd < 0 || fds[i].revents == 0) continue;
      ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count > 0) {
        (i == 0 ? result.stdout_bytes : result.stderr_bytes)
            .append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || errno != EAGAIN) {
        ::close(fd);
        fd = -1;
      }
    }
    if (stdin_fd >= 0 && fds[2].revents != 0) {
      ssize_t count = ::write(stdin_fd, stdin_bytes.data() + written,
                              stdin_bytes.size() - written);
      if (count > 0) written += static_cast<size_t>(count);
      if (count < 0 && errno != EAGAIN) written = stdin_bytes.size();
      if (written == stdin_bytes.size()) {
        ::close(stdin_fd);
        stdin_fd = -1;
      }
    }
  }
  if (stdin_fd >= 0) ::close(stdin_fd);
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signalled = true;
  return result;
}
