#pragma once
// How an engine's state meets its snapshot: restore at opening, synchronous saves, and the
// compile-and-encode whose buffer a background thread writes. The engine lock is the
// caller's: each function says what it expects to be held.
#include <cstdint>
#include <string>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "util/byte_buffer.hpp"
#include "util/result.hpp"

namespace corvane {

// Fills a fresh state from the workspace's snapshot; true if one was decoded (even with no
// nodes). A restored state with nodes is compiled, and written back only while the snapshot
// is still the file that was read, so a newer write (of this process or another, done or in
// flight) is never replaced by the older state. Failures of that rewrite are dropped. A
// snapshot that exists but cannot be read: OSError-kind error "Failed to read snapshot: ...",
// and the file is left alone.
Result<bool> restore_engine(EngineState& state, const std::string& workspace_path);

// Encodes and writes synchronously ("Failed to save snapshot: ..."). Shared lock held.
Status save_engine(const EngineState& state, const std::string& workspace_path);

// Compiles, then saves as above. Exclusive lock held.
Status build_and_save(EngineState& state, const std::string& workspace_path);

struct EncodedSnapshot {
    ByteBuffer bytes;
    std::uint64_t sequence;
};

// Compiles and encodes ("Failed to serialize snapshot: ..."): a consistent copy of the state,
// numbered in the order of the states it copies. Exclusive lock held.
Result<EncodedSnapshot> compile_and_encode(EngineState& state);

// Hands the buffer to a detached thread that writes it and only logs a failure. No lock held.
// Counted as in flight until written (wait_for_background_writes). A thread that cannot be
// started is a Fatal error, and nothing is written.
Status write_in_background(std::string workspace_path, EncodedSnapshot snapshot);

}  // namespace corvane
