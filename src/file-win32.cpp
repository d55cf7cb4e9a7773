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

// What an open file is. A disk file is known by its volume serial number
// and file index, whatever path, letter case or link led to it.
struct Identity {
  bool disk_file = false;
  bool directory = false;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

// False when a disk file cannot be identified: it could then not be told
// from another, and a failed query must not pass for "a different file".
bool Identify(int fd, Identity* identity) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return false;
  // NUL, CON and the serial ports are character devices, not disk files.
  if (GetFileType(handle) != FILE_TYPE_DISK) return true;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) return false;
  identity->disk_file = true;
  identity->directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

File::~File() {
  if (fd_ >= 0) _close(fd_);
}

bool File::OpenForRead(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  int fd = OpenShared(path, _O_RDONLY, 0);
  if (fd < 0) return false;
  Identity identity;
  if (!Identify(fd, &identity) || identity.directory) {
    _close(fd);
    return false;
  }
  Adopt(fd, identity.volume, identity.index,
        identity.disk_file && !identity.directory);
  return true;
}

// The runtime refuses to open a directory, so there is no cheaper way in.
bool File::OpenForScan(const std::string& path) { return OpenForRead(path); }

bool File::OpenForWrite(const std::string& path) {
  if (fd_ >= 0 || HasNul(path)) return false;
  // No _O_TRUNC: the caller refuses the input itself or a device before
  // anything is lost.
  int fd = OpenShared(path, _O_WRONLY | _O_CREAT, CREATE_PERMISSION);
  if (fd < 0) return false;
  Identity identity;
  if (!Identify(fd, &identity)) {
    _close(fd);
    return false;
  }
  Adopt(fd, identity.volume, identity.index,
        identity.disk_file && !identity.directory);
  return true;
}

// Devices have no identity; they are refused as output anyway.
bool File::IsSameFile(const File& other) const {
  return fd_ >= 0 && other.fd_ >= 0 && regular_ && other.regular_ &&
         device_ == other.device_ && inode_ == other.inode_;
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
