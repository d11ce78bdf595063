#include "graph/csr/index_scan.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define CORVANE_X86 1
#endif

namespace corvane::graph::detail {

bool contains_scalar(const NodeIndex* data, std::size_t n, NodeIndex value) {
    for (std::size_t i = 0; i < n; ++i)
        if (data[i] == value) return true;
    return false;
}

#if CORVANE_X86

// SSE2 is part of the x86-64 baseline.
bool sse2_available() { return true; }

bool contains_sse2(const NodeIndex* data, std::size_t n, NodeIndex value) {
    const __m128i needle = _mm_set1_epi32(static_cast<int>(value));
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const auto* p = reinterpret_cast<const __m128i*>(data + i);
        __m128i a = _mm_cmpeq_epi32(_mm_loadu_si128(p), needle);
        __m128i b = _mm_cmpeq_epi32(_mm_loadu_si128(p + 1), needle);
        __m128i c = _mm_cmpeq_epi32(_mm_loadu_si128(p + 2), needle);
        __m128i d = _mm_cmpeq_epi32(_mm_loadu_si128(p + 3), needle);
        __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        if (_mm_movemask_epi8(any) != 0) return true;
    }
    for (; i + 4 <= n; i += 4) {
        __m128i a = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), needle);
        if (_mm_movemask_epi8(a) != 0) return true;
    }
    return contains_scalar(data + i, n - i, value);
}

bool avx2_available() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

__attribute__((target("avx2"))) bool contains_avx2(const NodeIndex* data, std::size_t n, NodeIndex value) {
    const __m256i needle = _mm256_set1_epi32(static_cast<int>(value));
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const auto* p = reinterpret_cast<const __m256i*>(data + i);
        __m256i a = _mm256_cmpeq_epi32(_mm256_loadu_si256(p), needle);
        __m256i b = _mm256_cmpeq_epi32(_mm256_loadu_si256(p + 1), needle);
        __m256i c = _mm256_cmpeq_epi32(_mm256_loadu_si256(p + 2), needle);
        __m256i d = _mm256_cmpeq_epi32(_mm256_loadu_si256(p + 3), needle);
        __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
        if (!_mm256_testz_si256(any, any)) return true;
    }
    for (; i + 8 <= n; i += 8) {
        __m256i a = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)), needle);
        if (!_mm256_testz_si256(a, a)) return true;
    }
    return contains_scalar(data + i, n - i, value);
}

bool contains_index(const NodeIndex* data, std::size_t n, NodeIndex value) {
    // Most lists are a handful of entries long; the plain loop wins there.
    if (n < 8) return contains_scalar(data, n, value);
    return avx2_available() ? contains_avx2(data, n, value) : contains_sse2(data, n, value);
}

#else

bool sse2_available() { return false; }
bool avx2_available() { return false; }
bool contains_sse2(const NodeIndex* data, std::size_t n, NodeIndex value) { return contains_scalar(data, n, value); }
bool contains_avx2(const NodeIndex* data, std::size_t n, NodeIndex value) { return contains_scalar(data, n, value); }
bool contains_index(const NodeIndex* data, std::size_t n, NodeIndex value) { return contains_scalar(data, n, value); }

#endif

}  // namespace corvane::graph::detail
