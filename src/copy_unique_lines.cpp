#include "copy_unique_lines.h"

#include <cstring>

// The scan's vector search: SSE2, which every x86-64 has, and AVX2 where
// the processor has it. Elsewhere memchr finds the line ends.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define UNIQCOPY_X86_GCC 1
#include <immintrin.h>
#elif defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(_MSC_VER)
#include <intrin.h>
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
inline unsigned CountTrailingZeros(unsigned mask) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

inline unsigned CountTrailingZeros64(std::uint64_t mask) {
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
// Candidates are the positions where the needle's first two bytes and its
// last byte fit; only those are compared in full.
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

  /// True when `tail`, the last `size` bytes of the output after the put-in
  /// LF, ends in LF and `line` and the output has no final LF.
  bool IsUnterminatedLastLine(const char* tail, size_t size) const {
    return length_ > 0 && size == length_ + 1 && tail[0] == '\n' &&
           std::memcmp(tail + 1, line_, length_) == 0;
  }

 private:
  // Test the starts from *at on, a vector's width at a time, while a whole
  // vector's worth is left before `starts_end`; *at ends at the first
  // start not tested.
  bool FindInBlocksSse2(const char* data, size_t starts_end, size_t* at) const;
  bool FindInBlocksAvx2(const char* data, size_t starts_end, size_t* at) const;
  bool FindInBlocksAvx512(const char* data, size_t starts_end,
                          size_t* at) const;

  bool Matches(const char* at) const {
    return at[0] == '\n' && at[1] == second_ && at[length_ + 1] == '\n' &&
           std::memcmp(at + 1, line_, length_) == 0;
  }

  const char* line_;
  size_t length_;
  char second_;
};

bool NeedleFinder::Find(const char* data, size_t size,
                        size_t starts_end) const {
  if (size < this->size()) return false;
  size_t last_start = size - this->size();
  if (starts_end > last_start + 1) starts_end = last_start + 1;
  size_t at = 0;
#if defined(UNIQCOPY_X86_GCC)
  if (__builtin_cpu_supports("avx512bw")) {
    if (FindInBlocksAvx512(data, starts_end, &at)) return true;
  } else if (__builtin_cpu_supports("avx2")) {
    if (FindInBlocksAvx2(data, starts_end, &at)) return true;
  } else if (FindInBlocksSse2(data, starts_end, &at)) {
    return true;
  }
#elif defined(_M_X64)
  if (FindInBlocksSse2(data, starts_end, &at)) return true;
#endif
  for (; at < starts_end; ++at) {
    if (Matches(data + at)) return true;
  }
  return false;
}

#if defined(UNIQCOPY_X86_GCC) || defined(_M_X64)

// Each block tests WIDTH starts at once; its last load ends at the last
// byte of the needle that starts last, so it stays within the data.
bool NeedleFinder::FindInBlocksSse2(const char* data, size_t starts_end,
                                    size_t* at) const {
  constexpr size_t WIDTH = sizeof(__m128i);
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i second = _mm_set1_epi8(second_);
  for (; *at + WIDTH <= starts_end; *at += WIDTH) {
    const char* block = data + *at;
    __m128i first_fits = _mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), lf);
    __m128i second_fits = _mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 1)), second);
    __m128i last_fits = _mm_cmpeq_epi8(
        _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(block + length_ + 1)),
        lf);
    unsigned candidates = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_and_si128(first_fits, second_fits), last_fits)));
    for (; candidates != 0; candidates &= candidates - 1) {
      if (std::memcmp(block + 1 + CountTrailingZeros(candidates), line_,
                      length_) == 0)
        return true;
    }
  }
  return false;
}

#endif

#if defined(UNIQCOPY_X86_GCC)

// Bytes of `block` where a needle may start: an LF, then `second`, then an
// LF `last_offset` bytes on.
__attribute__((target("avx2"), always_inline)) inline __m256i CandidatesAvx2(
    const char* block, size_t last_offset, __m256i lf, __m256i second) {
  __m256i first_fits = _mm256_cmpeq_epi8(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block)), lf);
  __m256i second_fits = _mm256_cmpeq_epi8(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 1)), second);
  __m256i last_fits = _mm256_cmpeq_epi8(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + last_offset)),
      lf);
  return _mm256_and_si256(_mm256_and_si256(first_fits, second_fits),
                          last_fits);
}

__attribute__((target("avx2"))) bool NeedleFinder::FindInBlocksAvx2(
    const char* data, size_t starts_end, size_t* at) const {
  // Two vectors a round, tested together: candidates are rare.
  constexpr size_t WIDTH = sizeof(__m256i);
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i second = _mm256_set1_epi8(second_);
  const size_t last_offset = length_ + 1;
  size_t start = *at;
  for (; start + 2 * WIDTH <= starts_end; start += 2 * WIDTH) {
    const char* block = data + start;
    __m256i low = CandidatesAvx2(block, last_offset, lf, second);
    __m256i high = CandidatesAvx2(block + WIDTH, last_offset, lf, second);
    if (_mm256_testz_si256(_mm256_or_si256(low, high),
                           _mm256_or_si256(low, high)))
      continue;
    std::uint64_t candidates =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
        static_cast<std::uint64_t>(
            static_cast<std::uint32_t>(_mm256_movemask_epi8(high)))
            << WIDTH;
    for (; candidates != 0; candidates &= candidates - 1) {
      if (std::memcmp(block + 1 + CountTrailingZeros64(candidates), line_,
                      length_) == 0)
        return true;
    }
  }
  *at = start;
  return false;
}

__attribute__((target("avx512bw"), always_inline)) inline __mmask64
CandidatesAvx512(const char* block, size_t last_offset, __m512i lf,
                 __m512i second) {
  return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block), lf) &
         _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block + 1), second) &
         _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block + last_offset), lf);
}

__attribute__((target("avx512bw"))) bool NeedleFinder::FindInBlocksAvx512(
    const char* data, size_t starts_end, size_t* at) const {
  constexpr size_t WIDTH = sizeof(__m512i);
  const __m512i lf = _mm512_set1_epi8('\n');
  const __m512i second = _mm512_set1_epi8(second_);
  const size_t last_offset = length_ + 1;
  size_t start = *at;
  for (; start + 2 * WIDTH <= starts_end; start += 2 * WIDTH) {
    const char* block = data + start;
    __mmask64 low = CandidatesAvx512(block, last_offset, lf, second);
    __mmask64 high = CandidatesAvx512(block + WIDTH, last_offset, lf, second);
    if ((low | high) == 0) continue;
    for (int half = 0; half < 2; ++half) {
      std::uint64_t candidates = half == 0 ? low : high;
      for (; candidates != 0; candidates &= candidates - 1) {
        if (std::memcmp(block + half * WIDTH + 1 +
                            CountTrailingZeros64(candidates),
                        line_, length_) == 0)
          return true;
      }
    }
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
