#pragma once
// The snapshot file: "CRVN", version byte 3, then the MetadataEngine record in a fixed-width
// little-endian encoding. Written whole through a temporary file and a rename, read whole.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "metadata/engine/node_meta.hpp"
#include "util/byte_buffer.hpp"
#include "util/result.hpp"

namespace corvane {

inline constexpr std::uint8_t kSnapshotMagic[4] = {'C', 'R', 'V', 'N'};
inline constexpr std::uint8_t kSnapshotVersion = 3;
inline constexpr std::size_t kSnapshotHeaderSize = 5;
inline constexpr std::string_view kSnapshotFileName = ".corvane_snapshot.bin";

// Bytes handed to a file writer front to back, a run at a time.
class ByteRuns {
public:
    virtual ~ByteRuns() = default;
    // The next run, valid until the next call; an empty run once every byte was given, and
    // nothing when the bytes stopped short (the writer then gives up).
    virtual std::optional<std::span<const std::uint8_t>> next() = 0;
};

// A buffer given as one run.
class WholeRun final : public ByteRuns {
public:
    explicit WholeRun(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::optional<std::span<const std::uint8_t>> next() override { return std::exchange(bytes_, {}); }

private:
    std::span<const std::uint8_t> bytes_;
};

// An encoding sized but not yet written: the bytes encode_snapshot gives, cut into pieces of
// about `piece_bytes` that the threads encode in file order.
class SnapshotEncoder {
public:
    // Sizes the record (on `workers` threads; tests cut finer pieces). The record must not
    // change while the encoder lives.
    explicit SnapshotEncoder(const MetadataEngine& record, unsigned workers,
                             std::size_t piece_bytes = std::size_t{4} << 20);
    ~SnapshotEncoder();
    SnapshotEncoder(const SnapshotEncoder&) = delete;
    SnapshotEncoder& operator=(const SnapshotEncoder&) = delete;

    // Header plus payload.
    std::size_t size() const;
    // Writes the size() bytes at out. Fails only for a string that is not valid UTF-8.
    Status write(std::uint8_t* out) const;
    // Hands the bytes to consume(runs), which runs on a thread of its own while the pieces are
    // encoded into `slots` buffers that it frees as it goes: no buffer of the whole size, and
    // the writer starts on the front while the rest is encoded. Without a thread to spare the
    // whole buffer is encoded first. The encoding's failure comes first, then consume's. When
    // consume returns before taking every run, the encoding stops there.
    Status stream(const std::function<Status(ByteRuns&)>& consume, std::size_t slots = 8) const;

private:
    struct Plan;
    std::unique_ptr<Plan> plan_;
};

// Header plus payload in one buffer of exact size. Fails only for a string that is not valid
// UTF-8, which the decoder would reject: writing it would replace a readable file by an
// unreadable one. Large records are encoded by two threads.
Result<ByteBuffer> encode_snapshot(const MetadataEngine& record);
// The same bytes with the number of threads fixed (tests and benchmarks).
Result<ByteBuffer> encode_snapshot(const MetadataEngine& record, unsigned workers);
// The threads encode_snapshot(record) uses: two for a large record where there are two cores.
unsigned snapshot_workers(const MetadataEngine& record);

// The whole file in, the record out; any damage rejects the file whole. Never trusts a count
// for allocation. Running out of memory on a consistent file throws std::bad_alloc: that file
// may be good, and must not be mistaken for no snapshot.
// `used`, when given, receives the number of bytes the record took (what follows is ignored).
// Large files are decoded by two threads: the node records beside the sections after them.
std::optional<MetadataEngine> decode_snapshot(std::span<const std::uint8_t> bytes, std::size_t* used = nullptr);
// The same record with the number of threads fixed (tests and benchmarks).
std::optional<MetadataEngine> decode_snapshot(std::span<const std::uint8_t> bytes, std::size_t* used,
                                              unsigned workers);

// workspace_path, a "/" unless it is empty or already ends in one, then the file name.
std::string snapshot_path(std::string_view workspace_path);

// Which file a path held: device, inode, size and modification time. A snapshot is only ever
// replaced by a rename, so a file with the same identity holds the same bytes.
struct FileIdentity {
    std::uint64_t dev = 0, ino = 0, size = 0;
    std::int64_t mtime_sec = 0, mtime_nsec = 0;

    static FileIdentity of(const struct ::stat& st);
    bool operator==(const FileIdentity&) const = default;
};

// The snapshot file a restore read, kept open so that its identity (device and inode) cannot
// pass to another file while the engine decides whether to rewrite it.
class SnapshotSource {
public:
    SnapshotSource() = default;
    // Takes ownership of fd, whose fstat is st.
    SnapshotSource(int fd, const struct ::stat& st);
    SnapshotSource(SnapshotSource&& other) noexcept;
    SnapshotSource& operator=(SnapshotSource&& other) noexcept;
    ~SnapshotSource();

    bool exists() const { return fd_ >= 0; }
    // Whether the stat of a path shows this very file, unmodified since it was read.
    bool same_as(const struct ::stat& st) const { return fd_ >= 0 && FileIdentity::of(st) == identity_; }
    const FileIdentity& identity() const { return identity_; }

private:
    int fd_ = -1;
    FileIdentity identity_;
};

struct ReadSnapshot {
    std::optional<MetadataEngine> record;  // absent: no file, or content that does not decode
    SnapshotSource source;                  // the regular file that was read, if any
    bool whole = false;                     // the record took every byte of the file
};

// Nothing at the path (including a path through a missing directory, a non-directory or a
// link loop), something other than a regular file, or damaged content: no record. A regular
// file that exists but cannot be opened or read is an Io error naming it, never "no
// snapshot": the engine would start empty and its next save would replace the file.
// Running out of memory while decoding throws std::bad_alloc, for the same reason.
Result<ReadSnapshot> read_snapshot(std::string_view workspace_path);

// Process-wide, strictly increasing. Take it under the engine lock right after encoding, so
// the number orders buffers as the states they copy.
std::uint64_t next_snapshot_sequence();

// Creates the workspace directory if needed, writes the bytes to a fresh temporary file,
// syncs it and renames it over the snapshot. A buffer whose sequence is not newer than the
// last one committed for the same directory is dropped, and that is a success. On failure
// the previous snapshot is untouched and no temporary file remains. Errors name the file or
// directory they are about.
Status write_snapshot_file(const std::string& workspace_path, std::span<const std::uint8_t> bytes,
                           std::uint64_t sequence);
// The same with the bytes given a run at a time. When they stop short, nothing is renamed and
// the error says the write was cancelled. `landed`, when given, receives the identity of the
// file renamed into place, and is left alone when the buffer was dropped.
Status write_snapshot_file(const std::string& workspace_path, ByteRuns& bytes, std::uint64_t sequence,
                           std::optional<FileIdentity>* landed = nullptr);

// The record of reads of the incremental edge refresh, saved beside the snapshot it was taken
// with so that the first refresh after a restore need not re-resolve every node. It is a
// cache: the file names the snapshot file it belongs to (FileIdentity) and ends in a checksum,
// and anything else is no record.
inline constexpr std::string_view kReadsFileName = ".corvane_reads.bin";
// Through a temporary file renamed into place, not synced: a file torn by a crash fails its
// checksum. Errors name the file.
Status write_reads_file(const std::string& workspace_path, const FileIdentity& snapshot,
                        std::span<const std::uint8_t> payload);
// Removes a record of reads that no longer belongs to the snapshot; a missing file is success.
void remove_reads_file(const std::string& workspace_path);
// The payload saved with the snapshot file `snapshot`, if the file is whole and names it.
std::optional<std::vector<std::uint8_t>> read_reads_file(std::string_view workspace_path, const FileIdentity& snapshot);

// Writes the bytes like write_snapshot_file, but renames them over the snapshot only while
// the snapshot is still the file `source` (same device, inode, size and modification time),
// checked and renamed under the locks every writer takes: a mutex within the process and a
// lock on the workspace directory across processes. Commits no sequence number: the bytes
// hold the state already on disk, and must not make a newer write still in flight look
// stale. When the file changed, or the directory cannot be locked, the write is dropped and
// that is a success.
Status rewrite_snapshot_file(const std::string& workspace_path, std::span<const std::uint8_t> bytes,
                             const SnapshotSource& source);
Status rewrite_snapshot_file(const std::string& workspace_path, ByteRuns& bytes, const SnapshotSource& source);

// Snapshot writes running on background threads of this process. The count is reset in a
// child after fork(), where those threads do not exist.
void background_write_started();
void background_write_finished();
// Waits until no background write is in flight, for at most `limit`; false on timeout.
bool wait_for_background_writes(std::chrono::milliseconds limit);

}  // namespace corvane
