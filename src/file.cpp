// What File does the same way on every platform.
#include "file.h"

File::File(File&& other) noexcept
    : fd_(other.fd_),
      stored_size_(other.stored_size_),
      device_(other.device_),
      inode_(other.inode_),
      regular_(other.regular_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    // Whoever cares about this file's close result has called Close().
    (void)Close();
    fd_ = other.fd_;
    stored_size_ = other.stored_size_;
    device_ = other.device_;
    inode_ = other.inode_;
    regular_ = other.regular_;
    other.fd_ = -1;
  }
  return *this;
}

void File::Adopt(int fd, std::uint64_t device, std::uint64_t inode,
                 bool regular) {
  fd_ = fd;
  stored_size_ = 0;
  device_ = device;
  inode_ = inode;
  regular_ = regular;
}

bool File::IsRegular() const { return fd_ >= 0 && regular_; }
