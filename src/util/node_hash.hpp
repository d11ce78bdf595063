#pragma once
#include <string>
#include <string_view>

#include "util/hash.hpp"

namespace corvane {

// BLAKE3 (unkeyed, 32 bytes) of the id's UTF-8 bytes.
Hash32 blake3_digest(std::string_view bytes);

// The node hash as stored in id_to_hash: 64 lowercase hexadecimal digits.
std::string node_hash_hex(std::string_view node_id);

}  // namespace corvane
