// The search at the heart of the scan: finding one line among the lines of
// a block of the output, at close to memory speed.
#ifndef UNIQCOPY_LINE_SEARCH_H_
#define UNIQCOPY_LINE_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

// The scan looks for the needle LF, line, LF in the output with an LF put
// before its first byte, which is how a line equal to `line` shows in it.
// Vector compares mark the starts where the needle's first two bytes and
// its last byte fit; only those few are compared in full.
class NeedleFinder {
 public:
  NeedleFinder(const char* line, size_t length)
      : line_(line),
        length_(length),
        second_(length > 0 ? line[0] : '\n') {}

  size_t size() const { return length_ + 2; }

  /// True when the needle starts in `data` before `starts_end` and lies
  /// wholly within the `size` bytes of `data`.
  bool Find(const char* data, size_t size, size_t starts_end) const;

  /// True when the output ends in `line` without an LF after it, given
  /// `tail`: its last `size` bytes, counting the put-in LF before it.
  bool IsUnterminatedLastLine(const char* tail, size_t size) const {
    return length_ > 0 && size == length_ + 1 && tail[0] == '\n' &&
           std::memcmp(tail + 1, line_, length_) == 0;
  }

 private:
  // Starts are tested a round at a time, each as 64-bit masks of candidate
  // starts, with one branch per round: candidates are rare.
  static constexpr size_t MASK_BITS = 64;
  static constexpr size_t ROUND = 4 * MASK_BITS;

  // Test the starts from *at on, while a whole round is left before
  // `starts_end`; *at ends at the first start not tested.
  bool FindInRoundsSse2(const char* data, size_t starts_end, size_t* at) const;
  bool FindInRoundsAvx2(const char* data, size_t starts_end, size_t* at) const;
  bool FindInRoundsAvx512(const char* data, size_t starts_end,
                          size_t* at) const;

  // The starts in [at, starts_end), from one LF to the next.
  bool FindOneByOne(const char* data, size_t starts_end, size_t at) const {
    while (at < starts_end) {
      const char* lf = static_cast<const char*>(
          std::memchr(data + at, '\n', starts_end - at));
      if (lf == nullptr) return false;
      if (lf[1] == second_ && lf[length_ + 1] == '\n' &&
          std::memcmp(lf + 1, line_, length_) == 0)
        return true;
      at = static_cast<size_t>(lf - data) + 1;
    }
    return false;
  }

  // Bit i of masks[k] marks a candidate start at round + k * 64 + i.
  bool CheckRound(const char* round, const std::uint64_t* masks) const;

  const char* line_;
  size_t length_;
  char second_;
};

#endif  // UNIQCOPY_LINE_SEARCH_H_
