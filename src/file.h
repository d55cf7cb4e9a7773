// Files as this program uses them, behind one small interface so that the
// copy and the dialogue never see which platform they run on.
#ifndef UNIQCOPY_FILE_H_
#define UNIQCOPY_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

/// Permission bits of a newly created output file, before the umask.
constexpr unsigned OUTPUT_FILE_MODE = 0664;

/// One open file in the platform's text mode (which on POSIX translates
/// nothing). Closed when it goes out of scope; Close() reports the result.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  /// Opens an existing file for reading. A directory, or a name holding a
  /// NUL byte, does not open.
  bool OpenForRead(const std::string& path);

  /// Opens an existing file for reading as OpenForRead does, minus the
  /// check for a directory, which costs a system call: a directory opens,
  /// and its first Read fails. For a file that is opened once per line.
  bool OpenForScan(const std::string& path);

  /// Opens a file for writing, creating it with OUTPUT_FILE_MODE. An
  /// existing file keeps its contents until Truncate(0), so that the caller
  /// can inspect it first; the open never blocks, not even on a FIFO.
  bool OpenForWrite(const std::string& path);

  bool IsOpen() const { return fd_ >= 0; }

  /// True for a regular file, false for a device, FIFO, socket or terminal.
  bool IsRegular() const;

  /// True when both are open on one file, whatever names led to it.
  bool IsSameFile(const File& other) const;

  /// Reads up to `size` bytes: returns how many, 0 at the end, -1 on error.
  long long Read(char* buffer, size_t size);

  /// Writes all `size` bytes. When that fails the file is cut back to where
  /// it ended before the call, so that it never holds part of the data.
  bool WriteWhole(const char* data, size_t size);

  /// Empties the file; the next write starts at its beginning.
  bool Truncate();

  /// Closes the file; false when the close reports an error.
  bool Close();

 private:
  // Takes over a freshly opened `fd` and what it was found to be.
  void Adopt(int fd, std::uint64_t device, std::uint64_t inode, bool regular);

  int fd_ = -1;
  // Where the file ends, in stored bytes, as far as our writes know it.
  std::uint64_t stored_size_ = 0;
  // What the file was when opened: later questions about it then need no
  // call that could fail and be mistaken for an answer.
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  bool regular_ = false;
};

#endif  // UNIQCOPY_FILE_H_
