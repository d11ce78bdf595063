// Reading and writing the snapshot file. A write goes to a fresh temporary file that is
// synced and renamed over the snapshot, so a crash leaves either the old or the new file;
// a per-directory registry of committed sequence numbers keeps an older buffer from
// replacing a newer one when background writers finish out of order.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "storage/snapshot/snapshot.hpp"

namespace corvane {

namespace {

Error os_error(int errnum) { return io_error(os_error_text(errnum)); }

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

// 0 or an errno; a write that writes nothing is reported as -1.
int write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return -1;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

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
    static std::map<DirKey, std::uint64_t> m;
    return m;
}

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

int sync_dir(const std::string& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = fsync_retry(fd);
    ::close(fd);
    // Some file systems cannot sync a directory; the rename itself has happened.
    if (err == EINVAL || err == ENOTSUP) err = 0;
    return err;
}

}  // namespace

std::string snapshot_path(std::string_view workspace_path) {
    std::string p(workspace_path);
    if (!p.empty() && p.back() != '/') p += '/';
    p += kSnapshotFileName;
    return p;
}

std::uint64_t next_snapshot_sequence() { return g_sequence.fetch_add(1, std::memory_order_relaxed) + 1; }

std::optional<MetadataEngine> read_snapshot(std::string_view workspace_path) {
    const std::string path = snapshot_path(workspace_path);
    if (has_nul(path)) return std::nullopt;
    struct stat st;
    // Only a regular file: opening a FIFO of that name would block.
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::vector<std::uint8_t> buf;
    std::size_t got = 0;
    bool failed = false;
    try {
        buf.resize(static_cast<std::size_t>(st.st_size) + 1);
        for (;;) {
            if (got == buf.size()) buf.resize(buf.size() * 2);  // the file grew since stat
            const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
            if (n < 0) {
                if (errno == EINTR) continue;
                failed = true;
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
    } catch (const std::bad_alloc&) {
        // A file too large to hold is not "no snapshot": starting empty would let the next
        // save replace it. The failure goes to the caller.
        ::close(fd);
        throw;
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return decode_snapshot(std::span<const std::uint8_t>(buf.data(), got));
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

Status write_snapshot_file(const std::string& workspace_path, std::span<const std::uint8_t> bytes,
                           std::uint64_t sequence) {
    const std::string path = snapshot_path(workspace_path);
    if (has_nul(path)) return io_error("snapshot path contains a NUL byte");
    const std::string dir = parent_dir(path);
    if (int e = make_dirs(dir); e != 0) return os_error(e);

    struct stat dst;
    if (::stat(dir.empty() ? "." : dir.c_str(), &dst) != 0) return os_error(errno);
    const DirKey key{dst.st_dev, dst.st_ino};
    {
        std::lock_guard lock(g_commit_mutex);
        if (is_stale(key, sequence)) return {};
    }

    // Written and synced outside the commit lock, so concurrent writers overlap.
    TempFile tmp;
    if (int e = open_temp(path, tmp); e != 0) return os_error(e);
    if (int e = write_all(tmp.fd, bytes.data(), bytes.size()); e != 0) {
        return e < 0 ? io_error("failed to write whole buffer") : os_error(e);
    }
    if (int e = fsync_retry(tmp.fd); e != 0) return os_error(e);
    if (int e = tmp.close_now(); e != 0) return os_error(e);

    {
        std::lock_guard lock(g_commit_mutex);
        if (is_stale(key, sequence)) return {};  // a newer buffer landed meanwhile
        if (::rename(tmp.path.c_str(), path.c_str()) != 0) return os_error(errno);
        tmp.path.clear();
        committed()[key] = sequence;
    }
    if (int e = sync_dir(dir); e != 0) return os_error(e);
    remove_orphaned_temps(dir, std::string(kSnapshotFileName));
    return {};
}

}  // namespace corvane
