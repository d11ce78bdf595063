#include "storage/snapshot/lifecycle.hpp"

#include <system_error>
#include <thread>
#include <utility>

#include "metadata/engine/graph_queries.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/mutations.hpp"
#include "storage/snapshot/snapshot.hpp"
#include "util/log.hpp"

namespace corvane {

Result<bool> restore_engine(EngineState& state, const std::string& workspace_path) {
    auto read = read_snapshot(workspace_path);
    if (!read) return prefixed("Failed to read snapshot: ", read.error());
    if (!read->record) return false;
    const std::size_t n = read->record->nodes.size();
    if (n > 0 && log::enabled(log::Level::Info)) {
        log::emit(log::Level::Info, log::kBindingsTarget,
                  "Restored " + std::to_string(n) + " nodes and typed edges from binary snapshot.");
    }
    (void)adopt_record(state, std::move(*read->record));
    if (n == 0) return true;
    // The rewrite stores the counts the compile step refreshed. When it changed none and the
    // file held nothing but the record, the file already holds this very state: writing it
    // again would only reorder it.
    const std::size_t changed = compile_step(state);
    // The record of reads saved with this very file, read when the state first changes: the
    // counts aside, which resolution does not read, the state is the one it was taken from.
    state.incremental.saved = IncrementalState::Saved{
        [workspace = workspace_path, snapshot = read->source.identity()] { return read_reads_file(workspace, snapshot); },
        state.record.changes.value, state.record.resolved_call_edges.size()};
    if (changed == 0 && read->whole) return true;
    const SnapshotEncoder encoder(state.record, snapshot_workers(state.record));
    (void)encoder.stream([&](ByteRuns& runs) { return rewrite_snapshot_file(workspace_path, runs, read->source); });
    return true;
}

Status save_engine(const EngineState& state, const std::string& workspace_path) {
    const SnapshotEncoder encoder(state.record, snapshot_workers(state.record));
    const std::uint64_t sequence = next_snapshot_sequence();
    const std::optional<std::vector<std::uint8_t>> reads = encode_recorded_reads(state);
    std::optional<FileIdentity> landed;
    // Written to the file while it is encoded: the disk starts on the front of the file while
    // the threads encode the rest, and no buffer of the whole file is needed.
    Status saved = encoder.stream(
        [&](ByteRuns& runs) { return write_snapshot_file(workspace_path, runs, sequence, &landed); });
    if (!saved) return prefixed("Failed to save snapshot: ", saved.error());
    // Beside the file that landed (none when a newer buffer had landed first). A record that
    // cannot be written only makes the next restore's first refresh a full one.
    if (landed && reads) {
        if (Status kept = write_reads_file(workspace_path, *landed, *reads); !kept && log::enabled(log::Level::Warn)) {
            log::emit(log::Level::Warn, log::kBindingsTarget, "Record of reads not saved: " + kept.error().message);
        }
    } else if (landed) {
        remove_reads_file(workspace_path);  // it belonged to the file just replaced
    }
    return {};
}

Status build_and_save(EngineState& state, const std::string& workspace_path) {
    compile_step(state);
    return save_engine(state, workspace_path);
}

Result<EncodedSnapshot> compile_and_encode(EngineState& state) {
    compile_step(state);
    auto bytes = encode_snapshot(state.record);
    if (!bytes) return prefixed("Failed to serialize snapshot: ", bytes.error());
    return EncodedSnapshot{std::move(*bytes), next_snapshot_sequence()};
}

Status write_in_background(std::string workspace_path, EncodedSnapshot snapshot) {
    background_write_started();
    try {
        std::thread([path = std::move(workspace_path), snapshot = std::move(snapshot)]() {
            Status written = write_snapshot_file(path, snapshot.bytes, snapshot.sequence);
            if (!written && log::enabled(log::Level::Error)) {
                log::emit(log::Level::Error, log::kBindingsTarget,
                          "Background snapshot write failed: " + written.error().message);
            }
            background_write_finished();
        }).detach();
    } catch (const std::system_error&) {
        background_write_finished();
        return Error{ErrorKind::Fatal, "failed to spawn thread"};
    }
    return {};
}

}  // namespace corvane
