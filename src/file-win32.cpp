#include "file.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <windows.h>

#include <algorithm>
#include <climits>

namespace {

// The runtime knows only "may read" and "may write"; group and other bits
// have no counterpart.
constexpr int CREATE_PERMISSION =
    ((OUTPUT_FILE_MODE & 0400) ? _S_IREAD : 0) |
    ((OUTPUT_FILE_MODE & 0200) ? _S_IWRITE : 0);

bool HasNul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// No sharing restriction: every scan opens the output again while it is
// open for writing.
int OpenShared(const std::string& path, int flags, int permission) {
  int fd = -1;
  if (_sopen_s(&fd, path.c_str(), flags | _O_TEXT | _O_NOINHERIT, _SH_DENYNO,
               permission) != 0)
    return -1;
  return fd;
}

bool QueryInformation(int fd, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE &&
         GetFileInformationByHandle(handle, info) != 0;
}

bool IsDirectory(int fd) {
  BY_HANDLE_FILE_INFORMATION info;
  return QueryInformation(fd, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

File::~File() {
  if (fd_ >= 0) _close(fd_);
}

File::File(File&& other) noexcept
    : fd_(other.fd_), stored_size_(other.stored_size_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) _close(fd_);
    fd_ = other.fd_;
    stored_size_ = other.stored_size_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::OpenForRead(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  int fd = OpenShared(path, _O_RDONLY, 0);
  if (fd < 0) return false;
  if (IsDirectory(fd)) {
    _close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool File::OpenForWrite(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  // No _O_TRUNC: the caller refuses the input itself or a device before
  // anything is lost.
  int fd = OpenShared(path, _O_WRONLY | _O_CREAT, CREATE_PERMISSION);
  if (fd < 0) return false;
  fd_ = fd;
  stored_size_ = 0;
  return true;
}

bool File::IsRegular() const {
  if (fd_ < 0) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
  // NUL, CON and the serial ports are character devices, not disk files.
  return handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_DISK && !IsDirectory(fd_);
}

bool File::IsSameFile(const File& other) const {
  BY_HANDLE_FILE_INFORMATION mine, theirs;
  if (fd_ < 0 || other.fd_ < 0 || !QueryInformation(fd_, &mine) ||
      !QueryInformation(other.fd_, &theirs))
    return false;
  return mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh &&
         mine.nFileIndexLow == theirs.nFileIndexLow;
}

long long File::Read(char* buffer, size_t size) {
  unsigned count = static_cast<unsigned>(std::min<size_t>(size, INT_MAX));
  return _read(fd_, buffer, count);
}

bool File::WriteWhole(const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    unsigned chunk =
        static_cast<unsigned>(std::min<size_t>(size - done, INT_MAX));
    int count = _write(fd_, data + done, chunk);
    if (count <= 0) {
      // Leave whole lines only; no write follows a failed one, so the
      // position does not matter any more. Should the cut-back fail too,
      // the failed write is still what the caller reports.
      _chsize_s(fd_, static_cast<__int64>(stored_size_));
      return false;
    }
    done += static_cast<size_t>(count);
  }
  // Text mode stores each LF as CR LF, and the cut-back above counts what
  // is stored.
  stored_size_ += size + static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
  return true;
}

bool File::Truncate() {
  if (_chsize_s(fd_, 0) != 0) return false;
  stored_size_ = 0;
  return _lseeki64(fd_, 0, SEEK_SET) == 0;
}

bool File::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  return _close(fd) == 0;
}
