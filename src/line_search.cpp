#include "line_search.h"

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

namespace {

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


}  // namespace

bool NeedleFinder::CheckRound(const char* round,
                              const std::uint64_t* masks) const {
  for (size_t k = 0; k < ROUND / MASK_BITS; ++k) {
    for (std::uint64_t bits = masks[k]; bits != 0; bits &= bits - 1) {
      const char* start = round + k * MASK_BITS + CountTrailingZeros(bits);
      if (std::memcmp(start + 1, line_, length_) == 0) return true;
    }
  }
  return false;
}

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
static inline std::uint64_t CandidatesSse2(const char* block, size_t last_offset,
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

__attribute__((target("avx2"), always_inline)) static inline std::uint64_t
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

__attribute__((target("avx512bw"), always_inline)) static inline std::uint64_t
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

