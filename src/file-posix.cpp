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

int FstatRetrying(int fd, struct stat* info) {
  int rc;
  do {
    rc = ::fstat(fd, info);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

bool File::OpenForRead(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  // open(2) accepts a directory for reading; read(2) would then fail.
  struct stat info;
  if (FstatRetrying(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return false;
  }
  Adopt(fd, info.st_dev, info.st_ino, S_ISREG(info.st_mode));
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
  // This fails only for an invalid signal number.
  (void)::signal(SIGXFSZ, SIG_IGN);
  // No O_TRUNC: the caller refuses the input itself or a device before
  // anything is lost. O_NONBLOCK keeps a FIFO without reader from blocking.
  int fd = OpenRetrying(path.c_str(),
                        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        OUTPUT_FILE_MODE);
  if (fd < 0) return false;
  // Unless we know which file this is, we cannot tell it from the input.
  struct stat info;
  if (FstatRetrying(fd, &info) != 0) {
    ::close(fd);
    return false;
  }
  Adopt(fd, info.st_dev, info.st_ino, S_ISREG(info.st_mode));
  return true;
}

bool File::IsSameFile(const File& other) const {
  return fd_ >= 0 && other.fd_ >= 0 && device_ == other.device_ &&
         inode_ == other.inode_;
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
  off_t position;
  do {
    position = ::lseek(fd_, 0, SEEK_SET);
  } while (position < 0 && errno == EINTR);
  return position == 0;
}

bool File::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  // Retrying close(2) after EINTR may close a descriptor reused meanwhile;
  // on Linux the descriptor is gone either way, so EINTR is no failure.
  return ::close(fd) == 0 || errno == EINTR;
}
