#pragma once
// The snapshot file: "CRVN", version byte 3, then the MetadataEngine record in a fixed-width
// little-endian encoding. Written whole through a temporary file and a rename, read whole.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/node_meta.hpp"
#include "util/result.hpp"

namespace corvane {

inline constexpr std::uint8_t kSnapshotMagic[4] = {'C', 'R', 'V', 'N'};
inline constexpr std::uint8_t kSnapshotVersion = 3;
inline constexpr std::size_t kSnapshotHeaderSize = 5;
inline constexpr std::string_view kSnapshotFileName = ".corvane_snapshot.bin";

// Header plus payload in one buffer of exact size. Fails only for a string that is not valid
// UTF-8, which the decoder would reject: writing it would replace a readable file by an
// unreadable one.
Result<std::vector<std::uint8_t>> encode_snapshot(const MetadataEngine& record);

// The whole file in, the record out; any damage rejects the file whole. Never trusts a count
// for allocation. Running out of memory on a consistent file throws std::bad_alloc: that file
// may be good, and must not be mistaken for no snapshot.
std::optional<MetadataEngine> decode_snapshot(std::span<const std::uint8_t> bytes);

// workspace_path, a "/" unless it is empty or already ends in one, then the file name.
std::string snapshot_path(std::string_view workspace_path);

// Every failure (missing, unreadable, not a regular file, damaged) means no snapshot.
std::optional<MetadataEngine> read_snapshot(std::string_view workspace_path);

// Process-wide, strictly increasing. Take it under the engine lock right after encoding, so
// the number orders buffers as the states they copy.
std::uint64_t next_snapshot_sequence();

// Creates the workspace directory if needed, writes the bytes to a fresh temporary file,
// syncs it and renames it over the snapshot. A buffer whose sequence is not newer than the
// last one committed for the same directory is dropped, and that is a success. On failure
// the previous snapshot is untouched and no temporary file remains.
Status write_snapshot_file(const std::string& workspace_path, std::span<const std::uint8_t> bytes,
                           std::uint64_t sequence);

}  // namespace corvane
