// Decoding arbitrary bytes never crashes; whatever decodes survives a re-encode unchanged.
#include <cstdint>
#include <cstdlib>

#include "storage/snapshot/snapshot.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = corvane::decode_snapshot(std::span<const std::uint8_t>(data, size));
    if (!decoded) return 0;
    auto encoded = corvane::encode_snapshot(*decoded);
    if (!encoded.ok()) std::abort();  // a decoded record holds only valid UTF-8
    auto again = corvane::decode_snapshot(*encoded);
    if (!again || !(*again == *decoded)) std::abort();
    if (encoded->size() > size) std::abort();  // duplicates only shrink; nothing grows
    return 0;
}
