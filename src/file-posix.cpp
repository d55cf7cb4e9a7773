#include "file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool HasNul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept
    : fd_(other.fd_), stored_size_(other.stored_size_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    stored_size_ = other.stored_size_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::OpenForRead(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  // open(2) accepts a directory for reading; read(2) would then fail.
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool File::OpenForScan(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  fd_ = OpenRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC, 0);
  return fd_ >= 0;
}

bool File::OpenForWrite(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  // Past a file size limit, write(2) should fail with EFBIG so that the
  // torn line can be cut off, instead of the process being killed mid-line.
  ::signal(SIGXFSZ, SIG_IGN);
  // No O_TRUNC: the caller refuses the input itself or a device before
  // anything is lost. O_NONBLOCK keeps a FIFO without reader from blocking.
  int fd = OpenRetrying(path.c_str(),
                        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        OUTPUT_FILE_MODE);
  if (fd < 0) return false;
  fd_ = fd;
  stored_size_ = 0;
  return true;
}

bool File::IsRegular() const {
  struct stat info;
  return fd_ >= 0 && ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

bool File::IsSameFile(const File& other) const {
  struct stat mine, theirs;
  if (fd_ < 0 || other.fd_ < 0 || ::fstat(fd_, &mine) != 0 ||
      ::fstat(other.fd_, &theirs) != 0)
    return false;
  return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

long long File::Read(char* buffer, size_t size) {
  ssize_t count;
  do {
    count = ::read(fd_, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

bool File::WriteWhole(const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t count = ::write(fd_, data + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      // Leave whole lines only; the position does not matter any more
      // since no write follows a failed one.
      int rc;
      do {
        rc = ::ftruncate(fd_, static_cast<off_t>(stored_size_));
      } while (rc != 0 && errno == EINTR);
      return false;
    }
    done += static_cast<size_t>(count);
  }
  stored_size_ += size;
  return true;
}

bool File::Truncate() {
  int rc;
  do {
    rc = ::ftruncate(fd_, 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  stored_size_ = 0;
  return ::lseek(fd_, 0, SEEK_SET) == 0;
}

bool File::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  // Retrying close(2) after EINTR may close a descriptor reused meanwhile;
  // on Linux the descriptor is gone either way, so EINTR is no failure.
  return ::close(fd) == 0 || errno == EINTR;
}
