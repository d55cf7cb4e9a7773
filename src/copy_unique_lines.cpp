#include "copy_unique_lines.h"

#include <cstring>

// The scan's vector search: SSE2, which every x86-64 has, and AVX2 or
// AVX-512 where the processor has them; elsewhere memchr finds the LFs.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define UNIQCOPY_X86_GCC 1
#include <immintrin.h>
#elif defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(_MSC_VER)
#include <intrin.h>
#endif

// The widest vector, in bytes, that the scan may use (0: none). A build
// setting so that the tests reach every path on any machine.
#ifndef UNIQCOPY_SCAN_MAX_VECTOR
#define UNIQCOPY_SCAN_MAX_VECTOR 64
#endif

LineReader::Result LineReader::ReadLine(char* line, size_t* length) {
  size_t stored = 0;
  bool started = false;
  for (;;) {
    if (begin_ == end_) {
      if (at_end_) break;
      long long count = file_->Read(buffer_, sizeof buffer_);
      if (count < 0) return Result::READ_ERROR;
      if (count == 0) {
        at_end_ = true;
        break;
      }
      begin_ = 0;
      end_ = static_cast<size_t>(count);
    }
    const char* start = buffer_ + begin_;
    size_t available = end_ - begin_;
    const char* line_end =
        static_cast<const char*>(std::memchr(start, '\n', available));
    size_t piece = line_end ? static_cast<size_t>(line_end - start) : available;
    if (stored + piece > MAX_LINE_LENGTH) return Result::TOO_LONG;
    std::memcpy(line + stored, start, piece);
    stored += piece;
    begin_ += piece;
    started = true;
    if (line_end) {
      ++begin_;
      *length = stored;
      return Result::LINE;
    }
  }
  if (!started) return Result::END;
  *length = stored;  // The last line, without LF.
  return Result::LINE;
}

namespace {

ScanResult CloseAndReturn(File& scanned, ScanResult result) {
  // The scan only read; a failing close cannot have lost anything.
  scanned.Close();
  return result;
}

// Index of the lowest set bit of a non-zero mask.
inline unsigned CountTrailingZeros(std::uint64_t mask) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(mask));
#endif
}

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
  bool CheckRound(const char* round, const std::uint64_t* masks) const {
    for (size_t k = 0; k < ROUND / MASK_BITS; ++k) {
      for (std::uint64_t bits = masks[k]; bits != 0; bits &= bits - 1) {
        const char* start = round + k * MASK_BITS + CountTrailingZeros(bits);
        if (std::memcmp(start + 1, line_, length_) == 0) return true;
      }
    }
    return false;
  }

  const char* line_;
  size_t length_;
  char second_;
};

bool NeedleFinder::Find(const char* data, size_t size,
                        size_t starts_end) const {
  if (size < this->size()) return false;
  // The last load of a round ends at the last byte of the needle that
  // starts last, so every load stays within the data.
  size_t last_start = size - this->size();
  if (starts_end > last_start + 1) starts_end = last_start + 1;
  size_t at = 0;
#if defined(UNIQCOPY_X86_GCC)
  if (UNIQCOPY_SCAN_MAX_VECTOR >= 64 && __builtin_cpu_supports("avx512bw")) {
    if (FindInRoundsAvx512(data, starts_end, &at)) return true;
  } else if (UNIQCOPY_SCAN_MAX_VECTOR >= 32 &&
             __builtin_cpu_supports("avx2")) {
    if (FindInRoundsAvx2(data, starts_end, &at)) return true;
  } else if (UNIQCOPY_SCAN_MAX_VECTOR >= 16) {
    if (FindInRoundsSse2(data, starts_end, &at)) return true;
  }
#elif defined(_M_X64)
  if (UNIQCOPY_SCAN_MAX_VECTOR >= 16 &&
      FindInRoundsSse2(data, starts_end, &at))
    return true;
#endif
  return FindOneByOne(data, starts_end, at);
}

#if defined(UNIQCOPY_X86_GCC) || defined(_M_X64)

// Candidate starts among the 64 at `block`: an LF, then `second`, then an
// LF `last_offset` bytes on. The vector width changes, the test does not.
inline std::uint64_t CandidatesSse2(const char* block, size_t last_offset,
                                    __m128i lf, __m128i second) {
  std::uint64_t mask = 0;
  for (size_t i = 0; i < 64; i += sizeof(__m128i)) {
    const char* at = block + i;
    __m128i fits = _mm_and_si128(
        _mm_and_si128(
            _mm_cmpeq_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), lf),
            _mm_cmpeq_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1)),
                second)),
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                           at + last_offset)),
                       lf));
    mask |= static_cast<std::uint64_t>(
                static_cast<unsigned>(_mm_movemask_epi8(fits)))
            << i;
  }
  return mask;
}

bool NeedleFinder::FindInRoundsSse2(const char* data, size_t starts_end,
                                    size_t* at) const {
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i second = _mm_set1_epi8(second_);
  size_t start = *at;
  for (; start + ROUND <= starts_end; start += ROUND) {
    std::uint64_t masks[ROUND / MASK_BITS];
    std::uint64_t any = 0;
    for (size_t k = 0; k < ROUND / MASK_BITS; ++k) {
      masks[k] = CandidatesSse2(data + start + k * MASK_BITS, length_ + 1, lf,
                                second);
      any |= masks[k];
    }
    if (any != 0 && CheckRound(data + start, masks)) return true;
  }
  *at = start;
  return false;
}

#endif

#if defined(UNIQCOPY_X86_GCC)

__attribute__((target("avx2"), always_inline)) inline std::uint64_t
CandidatesAvx2(const char* block, size_t last_offset, __m256i lf,
               __m256i second) {
  std::uint64_t mask = 0;
  for (size_t i = 0; i < 64; i += sizeof(__m256i)) {
    const char* at = block + i;
    __m256i fits = _mm256_and_si256(
        _mm256_and_si256(
            _mm256_cmpeq_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), lf),
            _mm256_cmpeq_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1)),
                second)),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                              at + last_offset)),
                          lf));
    mask |= static_cast<std::uint64_t>(
                static_cast<std::uint32_t>(_mm256_movemask_epi8(fits)))
            << i;
  }
  return mask;
}

__attribute__((target("avx2"))) bool NeedleFinder::FindInRoundsAvx2(
    const char* data, size_t starts_end, size_t* at) const {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i second = _mm256_set1_epi8(second_);
  size_t start = *at;
  for (; start + ROUND <= starts_end; start += ROUND) {
    std::uint64_t masks[ROUND / MASK_BITS];
    std::uint64_t any = 0;
    for (size_t k = 0; k < ROUND / MASK_BITS; ++k) {
      masks[k] = CandidatesAvx2(data + start + k * MASK_BITS, length_ + 1, lf,
                                second);
      any |= masks[k];
    }
    if (any != 0 && CheckRound(data + start, masks)) return true;
  }
  *at = start;
  return false;
}

__attribute__((target("avx512bw"), always_inline)) inline std::uint64_t
CandidatesAvx512(const char* block, size_t last_offset, __m512i lf,
                 __m512i second) {
  return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block), lf) &
         _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block + 1), second) &
         _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block + last_offset), lf);
}

__attribute__((target("avx512bw"))) bool NeedleFinder::FindInRoundsAvx512(
    const char* data, size_t starts_end, size_t* at) const {
  const __m512i lf = _mm512_set1_epi8('\n');
  const __m512i second = _mm512_set1_epi8(second_);
  size_t start = *at;
  for (; start + ROUND <= starts_end; start += ROUND) {
    std::uint64_t masks[ROUND / MASK_BITS];
    std::uint64_t any = 0;
    for (size_t k = 0; k < ROUND / MASK_BITS; ++k) {
      masks[k] = CandidatesAvx512(data + start + k * MASK_BITS, length_ + 1,
                                  lf, second);
      any |= masks[k];
    }
    if (any != 0 && CheckRound(data + start, masks)) return true;
  }
  *at = start;
  return false;
}

#endif

}  // namespace

ScanResult output_has_line(const std::string& output_name, const char* line,
                           size_t length, char* buffer, size_t buffer_size) {
  // The copy never writes such a line, and `carry` below has no room for it.
  if (length > MAX_LINE_LENGTH) return ScanResult::NOT_FOUND;
  File scanned;
  // main() made sure that the output is a regular file.
  if (!scanned.OpenForScan(output_name)) return ScanResult::CANNOT_OPEN;
  NeedleFinder needle(line, length);
  // A needle may straddle two reads. `carry` holds the output's last
  // needle-size - 1 bytes (fewer near its start, headed by the put-in LF);
  // the start of each read is appended to it so that the needles starting
  // there are found too.
  char carry[2 * (LINE_BUFFER_SIZE + 1)];
  size_t carried = 1;
  carry[0] = '\n';
  const size_t keep = needle.size() - 1;
  for (;;) {
    long long count = scanned.Read(buffer, buffer_size);
    if (count < 0) return CloseAndReturn(scanned, ScanResult::CANNOT_READ);
    if (count == 0) break;
    size_t got = static_cast<size_t>(count);
    size_t joined = got < keep ? got : keep;
    std::memcpy(carry + carried, buffer, joined);
    if (needle.Find(carry, carried + joined, carried) ||
        needle.Find(buffer, got, got))
      return CloseAndReturn(scanned, ScanResult::FOUND);
    if (got >= keep) {
      std::memcpy(carry, buffer + got - keep, keep);
      carried = keep;
    } else {
      size_t total = carried + got;
      size_t kept = total < keep ? total : keep;
      std::memmove(carry, carry + total - kept, kept);
      carried = kept;
    }
  }
  if (needle.IsUnterminatedLastLine(carry, carried))
    return CloseAndReturn(scanned, ScanResult::FOUND);
  return CloseAndReturn(scanned, ScanResult::NOT_FOUND);
}

CopyOutcome copy_unique_lines(File& input, File& output,
                              const std::string& output_name) {
  LineReader reader(&input);
  // One byte more than a line needs, for the LF that is written with it.
  char line[LINE_BUFFER_SIZE];
  alignas(64) char scan_buffer[READ_BUFFER_SIZE];
  std::uint64_t line_number = 0;
  for (;;) {
    size_t length = 0;
    LineReader::Result read = reader.ReadLine(line, &length);
    ++line_number;
    switch (read) {
      case LineReader::Result::END:
        return {CopyOutcome::Status::COPIED, line_number};
      case LineReader::Result::TOO_LONG:
        return {CopyOutcome::Status::LINE_TOO_LONG, line_number};
      case LineReader::Result::READ_ERROR:
        return {CopyOutcome::Status::INPUT_READ_FAILED, line_number};
      case LineReader::Result::LINE:
        break;
    }
    switch (output_has_line(output_name, line, length, scan_buffer,
                            sizeof scan_buffer)) {
      case ScanResult::FOUND:
        continue;
      case ScanResult::CANNOT_OPEN:
        return {CopyOutcome::Status::OUTPUT_OPEN_FAILED, line_number};
      case ScanResult::CANNOT_READ:
        return {CopyOutcome::Status::OUTPUT_READ_FAILED, line_number};
      case ScanResult::NOT_FOUND:
        break;
    }
    // Line and line end in one write, so that the next scan sees both.
    line[length] = '\n';
    if (!output.WriteWhole(line, length + 1))
      return {CopyOutcome::Status::OUTPUT_WRITE_FAILED, line_number};
  }
}
