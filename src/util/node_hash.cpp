#include "util/node_hash.hpp"

#include <blake3.h>

#include "util/hex.hpp"

namespace corvane {

Hash32 blake3_digest(std::string_view bytes) {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, bytes.data(), bytes.size());
    Hash32 out;
    blake3_hasher_finalize(&hasher, out.data(), out.size());
    return out;
}

std::string node_hash_hex(std::string_view node_id) { return encode_hex32(blake3_digest(node_id)); }

}  // namespace corvane
