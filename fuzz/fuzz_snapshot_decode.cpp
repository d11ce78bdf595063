// Decoding arbitrary bytes never crashes, on one thread or two alike; whatever decodes survives
// a re-encode unchanged.
#include <cstdint>
#include <cstdlib>

#include "storage/snapshot/snapshot.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    std::size_t used_one = 0, used_two = 0;
    auto decoded = corvane::decode_snapshot(bytes, &used_one, 1);
    auto two = corvane::decode_snapshot(bytes, &used_two, 2);  // node records on a second thread
    if (two.has_value() != decoded.has_value()) std::abort();
    if (!decoded) return 0;
    if (!(*two == *decoded) || used_one != used_two) std::abort();
    auto encoded = corvane::encode_snapshot(*decoded);
    if (!encoded.ok()) std::abort();  // a decoded record holds only valid UTF-8
    auto again = corvane::decode_snapshot(*encoded);
    if (!again || !(*again == *decoded)) std::abort();
    if (encoded->size() > size) std::abort();  // duplicates only shrink; nothing grows
    return 0;
}
