#include "util/hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace corvane {

const std::array<std::uint64_t, 2>& process_hash_seed() {
    static const std::array<std::uint64_t, 2> seed = [] {
        std::array<std::uint64_t, 2> s{};
        std::size_t got = 0;
        auto* p = reinterpret_cast<unsigned char*>(s.data());
        while (got < sizeof s) {
            ssize_t n = getrandom(p + got, sizeof s - got, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (got < sizeof s) {  // no random source: fall back to something that still varies
            s[0] ^= static_cast<std::uint64_t>(std::time(nullptr)) * 0x9e3779b97f4a7c15ULL;
            s[1] ^= reinterpret_cast<std::uintptr_t>(&s) * 0xbf58476d1ce4e5b9ULL;
        }
        return s;
    }();
    return seed;
}

namespace {

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t read64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A keyed multiply-mix hash in the style of wyhash: fast on short ids.
std::uint64_t keyed_hash_bytes(const void* data, std::size_t len, const std::array<std::uint64_t, 2>& seed) {
    const auto* p = static_cast<const unsigned char*>(data);
    constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL, k1 = 0xe7037ed1a0b428dbULL;
    std::uint64_t h = seed[0] ^ mix(len ^ k0, seed[1] ^ k1);
    std::size_t i = 0;
    for (; i + 16 <= len; i += 16) {
        h = mix(read64(p + i) ^ k1 ^ h, read64(p + i + 8) ^ seed[1]);
    }
    if (i + 8 <= len) {
        h = mix(read64(p + i) ^ k0 ^ h, seed[1] ^ k1);
        i += 8;
    }
    if (i < len) {
        std::uint64_t tail = 0;
        std::memcpy(&tail, p + i, len - i);
        h = mix(tail ^ k1 ^ h, seed[0] ^ k0);
    }
    return mix(h ^ k0, len ^ k1);
}

constexpr std::array<std::uint64_t, 2> kStableSeed = {0x2d358dccaa6c78a5ULL, 0x8bb84b93962eacc9ULL};

}  // namespace

std::uint64_t seeded_hash_bytes(const void* data, std::size_t len) {
    return keyed_hash_bytes(data, len, process_hash_seed());
}

std::uint64_t stable_hash_bytes(const void* data, std::size_t len) { return keyed_hash_bytes(data, len, kStableSeed); }

}  // namespace corvane
