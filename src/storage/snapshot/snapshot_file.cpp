// Reading and writing the snapshot file. A write goes to a fresh temporary file that is
// synced and renamed over the snapshot, so a crash leaves either the old or the new file;
// a per-directory registry of committed sequence numbers keeps an older buffer from
// replacing a newer one when background writers finish out of order. Renames happen under a
// process-wide mutex and a lock on the workspace directory; fork() waits for that section,
// so a child never inherits a lock that no thread of its own will release.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "storage/snapshot/snapshot.hpp"
#include "util/hash.hpp"

namespace corvane {

namespace {

bool has_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

// The directory part of a path without trailing slashes: "" for the current directory.
std::string parent_dir(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return {};
    std::size_t cut = slash;
    while (cut > 0 && path[cut - 1] == '/') --cut;
    return cut == 0 ? std::string("/") : path.substr(0, cut);
}

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: 0 or the errno of the step that failed. An existing non-directory is reported
// with mkdir's own error (EEXIST, or ENOTDIR further down), never taken for success.
int make_dirs(const std::string& dir) {
    if (dir.empty()) return 0;
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err == ENOENT) {
        const std::string parent = parent_dir(dir);
        if (!parent.empty() && parent != dir) {
            if (int e = make_dirs(parent); e != 0) return e;
        }
        if (::mkdir(dir.c_str(), 0777) == 0) return 0;
        err = errno;
    }
    if (is_dir(dir)) return 0;
    return err;
}

// Large files are written in pieces of this size, and the disk is asked to start on each
// piece as soon as it is written, so the fsync that follows waits for the last pieces only
// instead of for the whole file.
constexpr std::size_t kWritePiece = std::size_t{32} << 20;

// 0 or an errno; a write that writes nothing is reported as -1, bytes that stop short as
// ECANCELED.
int write_all(int fd, ByteRuns& runs) {
    std::size_t written = 0;
    std::size_t started = 0;  // bytes already handed to the disk
    for (;;) {
        const std::optional<std::span<const std::uint8_t>> run = runs.next();
        if (!run) return ECANCELED;
        if (run->empty()) break;
        const std::uint8_t* p = run->data();
        for (std::size_t left = run->size(); left > 0;) {
            const ssize_t w = ::write(fd, p, std::min(left, kWritePiece));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (w == 0) return -1;
            p += w;
            left -= static_cast<std::size_t>(w);
            written += static_cast<std::size_t>(w);
#ifdef __linux__
            if (written - started >= kWritePiece) {
                // Only a hint: whatever it fails to start, the fsync writes and reports.
                ::sync_file_range(fd, static_cast<off_t>(started), static_cast<off_t>(written - started),
                                  SYNC_FILE_RANGE_WRITE);
                started = written;
            }
#endif
        }
    }
    return 0;
}

// The snapshot a commit replaces, held open across the rename: its blocks are then freed
// when this descriptor closes, on a thread of its own, not inside the rename (a file of a
// gigabyte takes the better part of a second to free). The file is gone from the directory
// either way; a crash before the close leaves the file system to free it. The hold opens
// nothing for reading (a FIFO or a device at the path is neither waited on nor touched) and
// follows no symlink (the rename replaces the link, not what it names).
#ifdef O_PATH
constexpr int kHoldFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kHoldFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
#endif
struct ReplacedFile {
    int fd = -1;
    explicit ReplacedFile(const std::string& path) : fd(::open(path.c_str(), kHoldFlags)) {}
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;
    ~ReplacedFile() {
        if (fd < 0) return;
        try {
            std::thread([fd = fd] { ::close(fd); }).detach();
        } catch (...) {
            ::close(fd);  // no thread to spare: freed here, as without the hold
        }
    }
};

int fsync_retry(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

std::atomic<std::uint64_t> g_sequence{0};
std::atomic<std::uint64_t> g_temp_counter{0};

// Keyed by the directory's identity, so "ws", "ws/" and "./ws" share one entry.
struct DirKey {
    dev_t dev;
    ino_t ino;
    bool operator<(const DirKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

std::mutex g_commit_mutex;
std::map<DirKey, std::uint64_t>& committed() {
    // Never destroyed: a background writer may still commit while the process exits.
    static auto* m = new std::map<DirKey, std::uint64_t>;
    return *m;
}

std::mutex g_pending_mutex;
std::condition_variable g_pending_done;
std::size_t g_pending = 0;

// A child of fork() has only the forking thread. Holding both mutexes across fork() means
// no writer is inside a commit (holding the directory lock) or counting itself at that
// moment; the child then forgets the writers, which it does not have.
void before_fork() {
    g_commit_mutex.lock();
    g_pending_mutex.lock();
}
void after_fork_in_parent() {
    g_pending_mutex.unlock();
    g_commit_mutex.unlock();
}
void after_fork_in_child() {
    g_pending = 0;
    g_pending_mutex.unlock();
    g_commit_mutex.unlock();
}
[[maybe_unused]] const int g_fork_handlers = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

bool is_stale(const DirKey& key, std::uint64_t sequence) {
    auto it = committed().find(key);
    return it != committed().end() && sequence <= it->second;
}

// Removes the temporary file on every path that does not rename it.
struct TempFile {
    std::string path;
    int fd = -1;
    ~TempFile() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink(path.c_str());
    }
    int close_now() {
        const int r = ::close(fd);
        fd = -1;
        return r == 0 ? 0 : errno;
    }
};

int open_temp(const std::string& target, TempFile& tmp) {
    const std::string prefix = target + ".tmp." + std::to_string(::getpid()) + ".";
    // A name can only be taken by a leftover of an earlier process with the same pid.
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string name = prefix + std::to_string(g_temp_counter.fetch_add(1, std::memory_order_relaxed));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            tmp.fd = fd;
            tmp.path = std::move(name);
            return 0;
        }
        if (errno != EEXIST && errno != EINTR) return errno;
    }
    return EEXIST;
}

std::string shown_dir(const std::string& dir) { return dir.empty() ? std::string(".") : dir; }

// The workspace directory, opened for the commit: locked against writers of other processes
// (when the file system supports it) and synced after the rename.
struct LockedDir {
    int fd = -1;
    bool locked = false;
    ~LockedDir() {
        if (fd >= 0) ::close(fd);  // also releases the lock
    }
    int open(const std::string& dir) {
        fd = ::open(shown_dir(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return errno;
        int r;
        while ((r = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        locked = r == 0;
        return 0;
    }
    int sync() const {
        const int err = fsync_retry(fd);
        // Some file systems cannot sync a directory; the rename itself has happened.
        return err == EINVAL || err == ENOTSUP ? 0 : err;
    }
};

}  // namespace

namespace {

std::string workspace_file(std::string_view workspace_path, std::string_view name) {
    std::string p(workspace_path);
    if (!p.empty() && p.back() != '/') p += '/';
    p += name;
    return p;
}

}  // namespace

std::string snapshot_path(std::string_view workspace_path) { return workspace_file(workspace_path, kSnapshotFileName); }

std::uint64_t next_snapshot_sequence() { return g_sequence.fetch_add(1, std::memory_order_relaxed) + 1; }

FileIdentity FileIdentity::of(const struct ::stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

SnapshotSource::SnapshotSource(int fd, const struct ::stat& st) : fd_(fd), identity_(FileIdentity::of(st)) {}

SnapshotSource::SnapshotSource(SnapshotSource&& other) noexcept { *this = std::move(other); }

SnapshotSource& SnapshotSource::operator=(SnapshotSource&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        identity_ = other.identity_;
    }
    return *this;
}

SnapshotSource::~SnapshotSource() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

// Errors of a lookup that mean nothing can be at the path.
bool names_nothing(int err) { return err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENAMETOOLONG; }

}  // namespace

Result<ReadSnapshot> read_snapshot(std::string_view workspace_path) {
    const std::string path = snapshot_path(workspace_path);
    ReadSnapshot out;
    if (has_nul(path)) return out;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (names_nothing(errno)) return out;
        return file_error(errno, path);
    }
    // Only a regular file: opening a FIFO of that name would block.
    if (!S_ISREG(st.st_mode)) return out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (names_nothing(errno)) return out;  // removed since the stat
        return file_error(errno, path);
    }
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return file_error(err, path);
    }
    SnapshotSource source(fd, st);
    if (!S_ISREG(st.st_mode)) return out;  // replaced since the stat
    // A file too large to hold throws std::bad_alloc to the caller, like decoding does.
    ByteBuffer buf(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == buf.size()) buf.resize(buf.size() * 2);  // the file grew since the stat
        const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return file_error(errno, path);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    std::size_t used = 0;
    out.record = decode_snapshot(std::span<const std::uint8_t>(buf.data(), got), &used);
    out.whole = out.record && used == got;
    out.source = std::move(source);
    return out;
}

namespace {

// A writer killed between creating its temporary file and the rename leaves the file behind.
// After a commit, remove those whose writing process is gone (a pid that is alive, even if
// reused, keeps its file: deleting the temporary of a live writer would fail its rename).
void remove_orphaned_temps(const std::string& dir, const std::string& snapshot_name) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    const std::string prefix = snapshot_name + ".tmp.";
    const pid_t self = ::getpid();
    while (const dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(e->d_name + prefix.size(), &end, 10);
        if (pid <= 0 || end == e->d_name + prefix.size() || *end != '.' || pid == self) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

}  // namespace

namespace {

// The sequence a commit records, or none for a rewrite of the file that was read.
struct CommitRule {
    std::uint64_t sequence = 0;
    const SnapshotSource* source = nullptr;
    std::optional<FileIdentity>* landed = nullptr;
};

Status write_snapshot(const std::string& workspace_path, ByteRuns& bytes, CommitRule rule) {
    const std::string path = snapshot_path(workspace_path);
    if (has_nul(path)) return io_error("snapshot path contains a NUL byte");
    const std::string dir = parent_dir(path);
    if (int e = make_dirs(dir); e != 0) return file_error(e, shown_dir(dir));

    struct stat dst;
    if (::stat(shown_dir(dir).c_str(), &dst) != 0) return file_error(errno, shown_dir(dir));
    const DirKey key{dst.st_dev, dst.st_ino};
    if (!rule.source) {
        std::lock_guard lock(g_commit_mutex);
        if (is_stale(key, rule.sequence)) return {};
    }

    // Written and synced outside the commit lock, so concurrent writers overlap.
    TempFile tmp;
    if (int e = open_temp(path, tmp); e != 0) return file_error(e, shown_dir(dir));
    if (int e = write_all(tmp.fd, bytes); e != 0) {
        return e < 0 ? io_error(path + ": failed to write whole buffer") : file_error(e, path);
    }
    if (int e = fsync_retry(tmp.fd); e != 0) return file_error(e, path);
    struct stat written;
    if (::fstat(tmp.fd, &written) != 0) return file_error(errno, path);
    if (int e = tmp.close_now(); e != 0) return file_error(e, path);

    {
        std::lock_guard lock(g_commit_mutex);
        LockedDir locked;
        if (int e = locked.open(dir); e != 0) return file_error(e, shown_dir(dir));
        if (rule.source) {
            // Without the directory lock another process could rename between check and rename.
            struct stat now;
            if (!locked.locked || ::stat(path.c_str(), &now) != 0 || !rule.source->same_as(now)) return {};
        } else if (is_stale(key, rule.sequence)) {
            return {};  // a newer buffer landed meanwhile
        }
        const ReplacedFile replaced(path);
        if (::rename(tmp.path.c_str(), path.c_str()) != 0) return file_error(errno, path);
        tmp.path.clear();
        if (rule.landed) *rule.landed = FileIdentity::of(written);
        if (!rule.source) committed()[key] = rule.sequence;
        if (int e = locked.sync(); e != 0) return file_error(e, shown_dir(dir));
    }
    remove_orphaned_temps(dir, std::string(kSnapshotFileName));
    return {};
}

}  // namespace

Status write_snapshot_file(const std::string& workspace_path, std::span<const std::uint8_t> bytes,
                           std::uint64_t sequence) {
    WholeRun run(bytes);
    return write_snapshot(workspace_path, run, CommitRule{sequence, nullptr});
}

Status write_snapshot_file(const std::string& workspace_path, ByteRuns& bytes, std::uint64_t sequence,
                           std::optional<FileIdentity>* landed) {
    return write_snapshot(workspace_path, bytes, CommitRule{sequence, nullptr, landed});
}

Status rewrite_snapshot_file(const std::string& workspace_path, std::span<const std::uint8_t> bytes,
                             const SnapshotSource& source) {
    WholeRun run(bytes);
    return rewrite_snapshot_file(workspace_path, run, source);
}

Status rewrite_snapshot_file(const std::string& workspace_path, ByteRuns& bytes, const SnapshotSource& source) {
    if (!source.exists()) return {};
    return write_snapshot(workspace_path, bytes, CommitRule{0, &source});
}

// ---- the record of reads beside the snapshot ------------------------------------------------

namespace {

constexpr std::uint8_t kReadsMagic[4] = {'C', 'R', 'V', 'R'};
constexpr std::uint32_t kReadsFileVersion = 1;
// Magic, version, the snapshot's identity, the payload's length; the payload; a checksum of
// the payload (the header is compared whole).
constexpr std::size_t kReadsHeaderSize = 4 + 4 + 5 * 8 + 8;

// Bytes given as the spans they are held in.
class SpanRuns final : public ByteRuns {
public:
    explicit SpanRuns(std::initializer_list<std::span<const std::uint8_t>> spans) : spans_(spans) {}
    std::optional<std::span<const std::uint8_t>> next() override {
        return at_ < spans_.size() ? spans_[at_++] : std::span<const std::uint8_t>{};
    }

private:
    std::vector<std::span<const std::uint8_t>> spans_;
    std::size_t at_ = 0;
};

void put_bytes(std::vector<std::uint8_t>& out, const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}

std::vector<std::uint8_t> reads_header(const FileIdentity& snapshot, std::uint64_t payload_size) {
    std::vector<std::uint8_t> out;
    out.reserve(kReadsHeaderSize);
    put_bytes(out, kReadsMagic, sizeof kReadsMagic);
    put_bytes(out, &kReadsFileVersion, sizeof kReadsFileVersion);
    for (std::uint64_t v : {snapshot.dev, snapshot.ino, snapshot.size, static_cast<std::uint64_t>(snapshot.mtime_sec),
                            static_cast<std::uint64_t>(snapshot.mtime_nsec), payload_size}) {
        put_bytes(out, &v, sizeof v);
    }
    return out;
}

}  // namespace

Status write_reads_file(const std::string& workspace_path, const FileIdentity& snapshot,
                        std::span<const std::uint8_t> payload) {
    const std::string path = workspace_file(workspace_path, kReadsFileName);
    if (has_nul(path)) return io_error("workspace path contains a NUL byte");
    const std::vector<std::uint8_t> header = reads_header(snapshot, payload.size());
    const std::uint64_t checksum = stable_hash_bytes(payload.data(), payload.size());

    TempFile tmp;
    if (int e = open_temp(path, tmp); e != 0) return file_error(e, shown_dir(parent_dir(path)));
    SpanRuns runs{header, payload, {reinterpret_cast<const std::uint8_t*>(&checksum), sizeof checksum}};
    if (int e = write_all(tmp.fd, runs); e != 0) {
        return e < 0 ? io_error(path + ": failed to write whole buffer") : file_error(e, path);
    }
    if (int e = tmp.close_now(); e != 0) return file_error(e, path);
    if (::rename(tmp.path.c_str(), path.c_str()) != 0) return file_error(errno, path);
    tmp.path.clear();
    remove_orphaned_temps(parent_dir(path), std::string(kReadsFileName));
    return {};
}

void remove_reads_file(const std::string& workspace_path) {
    const std::string path = workspace_file(workspace_path, kReadsFileName);
    if (!has_nul(path)) ::unlink(path.c_str());
}

std::optional<std::vector<std::uint8_t>> read_reads_file(std::string_view workspace_path, const FileIdentity& snapshot) {
    const std::string path = workspace_file(workspace_path, kReadsFileName);
    if (has_nul(path)) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st;
    std::vector<std::uint8_t> bytes;
    // Only a regular file, and none far larger than a record of the snapshot could be (a
    // record holds a few words per read, the snapshot every node's strings): a cache must not
    // make a restore read gigabytes or fail for want of memory.
    const auto size = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (size >= kReadsHeaderSize + 8 && size <= 4 * snapshot.size + (std::uint64_t{1} << 20)) {
        try {
            bytes.resize(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            bytes.clear();
        }
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    if (bytes.size() < kReadsHeaderSize + 8) return std::nullopt;
    const std::size_t payload_size = bytes.size() - kReadsHeaderSize - 8;
    const std::vector<std::uint8_t> header = reads_header(snapshot, payload_size);
    if (!std::equal(header.begin(), header.end(), bytes.begin())) return std::nullopt;
    std::uint64_t checksum;
    std::memcpy(&checksum, bytes.data() + bytes.size() - 8, 8);
    if (checksum != stable_hash_bytes(bytes.data() + kReadsHeaderSize, payload_size)) return std::nullopt;
    // The payload moved to the front of the same buffer: no second buffer of its size.
    bytes.erase(bytes.begin(), bytes.begin() + kReadsHeaderSize);
    bytes.resize(payload_size);
    return bytes;
}

void background_write_started() {
    std::lock_guard lock(g_pending_mutex);
    ++g_pending;
}

void background_write_finished() {
    std::lock_guard lock(g_pending_mutex);
    if (--g_pending == 0) g_pending_done.notify_all();
}

bool wait_for_background_writes(std::chrono::milliseconds limit) {
    std::unique_lock lock(g_pending_mutex);
    return g_pending_done.wait_for(lock, limit, [] { return g_pending == 0; });
}

}  // namespace corvane
