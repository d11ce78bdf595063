#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/mutations.hpp"
#include "storage/snapshot/lifecycle.hpp"
#include "storage/snapshot/snapshot.hpp"

using namespace corvane;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

class SnapshotFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "corvane_snapshot_XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string ws(const std::string& sub) const { return (root_ / sub).string(); }

    static Bytes file_bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    // Anything the writer left next to the snapshot besides the snapshot itself.
    static std::vector<std::string> leftovers(const std::string& dir) {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().filename() != kSnapshotFileName) out.push_back(e.path().filename().string());
        }
        return out;
    }

    static Bytes encoded(std::size_t nodes) {
        MetadataEngine r;
        for (std::size_t i = 0; i < nodes; ++i) {
            NodeMeta m;
            m.node_id = "m.py:f" + std::to_string(i);
            m.node_type = "Function";
            m.name = "f" + std::to_string(i);
            m.file_path = "m.py";
            r.nodes.emplace(m.node_id, m);
        }
        const auto bytes = *encode_snapshot(r);
        return Bytes(bytes.begin(), bytes.end());
    }

    // Whether `write`, run in a child whose files may not grow past `limit` bytes, fails with
    // EFBIG naming the snapshot of workspace w.
    static bool fails_with_efbig(const std::string& w, rlim_t limit, const std::function<Status()>& write) {
        const pid_t child = ::fork();
        if (child < 0) return false;
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit lim{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &lim);
            Status s = write();
            ::_exit(!s.ok() && s.error().errnum == EFBIG && s.error().path == snapshot_path(w) ? 0 : 1);
        }
        int status = 0;
        return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    fs::path root_;
};

// The record read back, or none; a read error fails the test.
std::optional<MetadataEngine> restored(std::string_view workspace) {
    auto r = read_snapshot(workspace);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
    if (!r.ok()) return std::nullopt;
    return std::move(r->record);
}

}  // namespace

TEST(SnapshotPath, JoinsWithOneSlash) {
    EXPECT_EQ(snapshot_path("ws"), "ws/.corvane_snapshot.bin");
    EXPECT_EQ(snapshot_path("ws/"), "ws/.corvane_snapshot.bin");
    EXPECT_EQ(snapshot_path(""), ".corvane_snapshot.bin");
    EXPECT_EQ(snapshot_path("/"), "/.corvane_snapshot.bin");
    EXPECT_EQ(snapshot_path("a//"), "a//.corvane_snapshot.bin");
}

TEST_F(SnapshotFile, WriteCreatesMissingDirectoriesAndReadsBack) {
    const std::string w = ws("a/b/c");
    const Bytes b = encoded(3);
    ASSERT_TRUE(write_snapshot_file(w, b, next_snapshot_sequence()).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), b);
    auto r = restored(w + "/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->nodes.size(), 3u);
    EXPECT_TRUE(leftovers(w).empty());
}

TEST_F(SnapshotFile, LargeFileIsWrittenWholeOverTheOneItReplaces) {
    // More than two of the pieces a large file is written in, and not a multiple of one.
    const std::string w = ws("w");
    Bytes first(3 << 20, 0x11);
    ASSERT_TRUE(write_snapshot_file(w, first, next_snapshot_sequence()).ok());
    std::ifstream reader(snapshot_path(w), std::ios::binary);  // a reader of the old file
    ASSERT_TRUE(reader);

    Bytes big((std::size_t{65} << 20) + 12345);
    std::mt19937 rng(5);
    for (auto& b : big) b = static_cast<std::uint8_t>(rng());
    ASSERT_TRUE(write_snapshot_file(w, big, next_snapshot_sequence()).ok());
    EXPECT_TRUE(file_bytes(snapshot_path(w)) == big);
    EXPECT_TRUE(leftovers(w).empty());
    // The replaced file is gone from the directory but whole for whoever still reads it.
    const Bytes old_seen(std::istreambuf_iterator<char>(reader), {});
    EXPECT_TRUE(old_seen == first);
}

TEST_F(SnapshotFile, EmptyWorkspaceMeansCurrentDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    const Bytes b = encoded(1);
    const bool written = write_snapshot_file("", b, next_snapshot_sequence()).ok();
    const bool read_back = restored("").has_value();
    fs::current_path(before);
    EXPECT_TRUE(written);
    EXPECT_TRUE(read_back);
    EXPECT_EQ(file_bytes((root_ / kSnapshotFileName).string()), b);
}

TEST_F(SnapshotFile, ReadRejectsMissingEmptyDamagedAndNonRegularFiles) {
    EXPECT_FALSE(restored(ws("nowhere")));
    fs::create_directories(ws("w"));
    { std::ofstream(snapshot_path(ws("w"))); }
    EXPECT_FALSE(restored(ws("w")));
    Bytes b = encoded(2);
    b.pop_back();
    { std::ofstream(snapshot_path(ws("w")), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size()); }
    EXPECT_FALSE(restored(ws("w")));

    fs::create_directories(snapshot_path(ws("d")));
    EXPECT_FALSE(restored(ws("d")));
    // A FIFO under the snapshot name must not block the reader.
    fs::create_directories(ws("f"));
    ASSERT_EQ(::mkfifo(snapshot_path(ws("f")).c_str(), 0600), 0);
    EXPECT_FALSE(restored(ws("f")));
    EXPECT_FALSE(restored(std::string("x\0y", 3)));
}

TEST_F(SnapshotFile, WorkspaceThatIsARegularFileFailsWithTheSystemText) {
    const std::string file = ws("plain");
    { std::ofstream(file) << "keep"; }
    Status s = write_snapshot_file(file, encoded(1), next_snapshot_sequence());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, ErrorKind::Io);
    // The error names the folder that could not be made, and keeps the number apart.
    EXPECT_EQ(s.error().message, file + ": " + os_error_text(EEXIST));
    EXPECT_EQ(s.error().errnum, EEXIST);
    EXPECT_EQ(s.error().path, file);
    // Deeper below a regular file, mkdir reports ENOTDIR.
    s = write_snapshot_file(file + "/sub", encoded(1), next_snapshot_sequence());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, file + "/sub: " + os_error_text(ENOTDIR));
    EXPECT_EQ(file_bytes(file), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(write_snapshot_file(std::string("x\0y", 3), encoded(1), next_snapshot_sequence()).ok());
}

TEST_F(SnapshotFile, FailedRenameKeepsNoTemporaryFile) {
    const std::string w = ws("w");
    fs::create_directories(snapshot_path(w));  // a non-empty directory where the file goes
    { std::ofstream(snapshot_path(w) + "/inside"); }
    Status s = write_snapshot_file(w, encoded(1), next_snapshot_sequence());
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().message.find("(os error "), std::string::npos);
    EXPECT_TRUE(leftovers(w).empty());
}

// The write itself fails (file size limit) after the old snapshot exists: the old file is
// intact and the temporary file is gone. Run in a child so the limit stays there.
TEST_F(SnapshotFile, FailedWriteLeavesOldSnapshotIntact) {
    const std::string w = ws("w");
    const Bytes old_bytes = encoded(2);
    ASSERT_TRUE(write_snapshot_file(w, old_bytes, next_snapshot_sequence()).ok());
    const Bytes big = encoded(2000);
    ASSERT_GT(big.size(), 4096u);

    EXPECT_TRUE(fails_with_efbig(w, 4096, [&] { return write_snapshot_file(w, big, next_snapshot_sequence()); }));
    EXPECT_EQ(file_bytes(snapshot_path(w)), old_bytes);
    EXPECT_TRUE(leftovers(w).empty());
}

// A save writes the file while it encodes: a write that fails part way, or bytes that stop
// short, leave the old snapshot and no temporary file.
TEST_F(SnapshotFile, StreamedSaveThatFailsLeavesOldSnapshotIntact) {
    const std::string w = ws("w");
    const Bytes old_bytes = encoded(2);
    ASSERT_TRUE(write_snapshot_file(w, old_bytes, next_snapshot_sequence()).ok());
    EngineState big;
    for (int i = 0; i < 3000; ++i) {
        NodeMeta m;
        m.node_id = "m.py:f" + std::to_string(i);
        m.node_type = "Function";
        m.name = "f";
        m.file_path = "m.py";
        m.docstring = std::string(200, 'd');
        upsert_node(big, m);
    }
    EXPECT_TRUE(fails_with_efbig(w, 65536, [&] { return save_engine(big, w); }));
    EXPECT_EQ(file_bytes(snapshot_path(w)), old_bytes);
    EXPECT_TRUE(leftovers(w).empty());

    // Bytes that stop short after a first run.
    struct ShortRuns final : ByteRuns {
        Bytes first = Bytes(100, 7);
        bool given = false;
        std::optional<std::span<const std::uint8_t>> next() override {
            if (given) return std::nullopt;
            given = true;
            return std::span<const std::uint8_t>(first);
        }
    } runs;
    Status s = write_snapshot_file(w, runs, next_snapshot_sequence());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().errnum, ECANCELED);
    EXPECT_EQ(file_bytes(snapshot_path(w)), old_bytes);
    EXPECT_TRUE(leftovers(w).empty());
}

TEST_F(SnapshotFile, OlderBufferNeverReplacesNewerOne) {
    const std::string w = ws("w");
    const Bytes first = encoded(1), second = encoded(2);
    const std::uint64_t s1 = next_snapshot_sequence();
    const std::uint64_t s2 = next_snapshot_sequence();
    ASSERT_TRUE(write_snapshot_file(w, second, s2).ok());
    ASSERT_TRUE(write_snapshot_file(w, first, s1).ok());  // dropped, silently
    EXPECT_EQ(file_bytes(snapshot_path(w)), second);
    // The same directory spelled differently is the same file.
    ASSERT_TRUE(write_snapshot_file(w + "/", first, s1).ok());
    ASSERT_TRUE(write_snapshot_file(w + "/../w", first, s2).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), second);
    EXPECT_TRUE(leftovers(w).empty());
    // A newer one does replace it.
    const std::uint64_t s3 = next_snapshot_sequence();
    ASSERT_TRUE(write_snapshot_file(w, first, s3).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), first);
}

TEST_F(SnapshotFile, ConcurrentWritersLeaveTheNewestBuffer) {
    const std::string w = ws("w");
    for (int round = 0; round < 5; ++round) {
        constexpr int kWriters = 8;
        std::vector<Bytes> buffers;
        std::vector<std::uint64_t> seqs;
        for (int i = 0; i < kWriters; ++i) {
            buffers.push_back(encoded(static_cast<std::size_t>(1 + i * 50)));
            seqs.push_back(next_snapshot_sequence());
        }
        std::vector<int> order(kWriters);
        for (int i = 0; i < kWriters; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(round));
        std::vector<std::thread> threads;
        std::atomic<int> failures{0};
        for (int i : order) {
            threads.emplace_back([&, i] {
                if (!write_snapshot_file(w, buffers[i], seqs[i]).ok()) ++failures;
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(file_bytes(snapshot_path(w)), buffers.back()) << "round " << round;
        EXPECT_TRUE(leftovers(w).empty());
    }
}

// The rewrite at opening puts back only the state already on disk: it lands while the file
// is the one read, is dropped once another write replaced it, and never makes a write that
// was numbered before it (still in flight) look stale.
TEST_F(SnapshotFile, RewriteLandsOnlyOverTheFileItRead) {
    const std::string w = ws("w");
    const Bytes first = encoded(1), second = encoded(2), rewrite = encoded(3);
    ASSERT_TRUE(write_snapshot_file(w, first, next_snapshot_sequence()).ok());
    const std::uint64_t in_flight = next_snapshot_sequence();

    auto read = read_snapshot(w);
    ASSERT_TRUE(read.ok() && read->record && read->source.exists());
    ASSERT_TRUE(rewrite_snapshot_file(w, rewrite, read->source).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), rewrite);
    // The file changed since that read (it is the rewrite now): a second rewrite is dropped.
    ASSERT_TRUE(rewrite_snapshot_file(w, first, read->source).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), rewrite);
    // The write numbered before the rewrite still lands.
    ASSERT_TRUE(write_snapshot_file(w, second, in_flight).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), second);

    auto again = read_snapshot(w);
    ASSERT_TRUE(again.ok());
    ASSERT_TRUE(write_snapshot_file(w, first, next_snapshot_sequence()).ok());
    ASSERT_TRUE(rewrite_snapshot_file(w, rewrite, again->source).ok());
    EXPECT_EQ(file_bytes(snapshot_path(w)), first);
    EXPECT_TRUE(leftovers(w).empty());
}

TEST_F(SnapshotFile, RewriteIsDroppedWhenTheFileWasChangedInPlace) {
    const std::string w = ws("w");
    const Bytes b = encoded(2);
    ASSERT_TRUE(write_snapshot_file(w, b, next_snapshot_sequence()).ok());
    auto read = read_snapshot(w);
    ASSERT_TRUE(read.ok());
    { std::ofstream(snapshot_path(w), std::ios::app) << "x"; }  // same inode, new size
    ASSERT_TRUE(rewrite_snapshot_file(w, encoded(5), read->source).ok());
    Bytes grown = b;
    grown.push_back('x');
    EXPECT_EQ(file_bytes(snapshot_path(w)), grown);
    // Nothing was read from a missing file, so there is nothing to rewrite.
    auto none = read_snapshot(ws("empty"));
    ASSERT_TRUE(none.ok() && !none->source.exists());
    ASSERT_TRUE(rewrite_snapshot_file(ws("empty"), b, none->source).ok());
    EXPECT_FALSE(fs::exists(ws("empty")));
}

// A child forked while another thread commits must be able to write: the commit lock is
// never inherited held, and the child counts no background writes of its parent.
TEST_F(SnapshotFile, ChildForkedDuringCommitsCanWriteAndSeesNoWritesInFlight) {
#if defined(__SANITIZE_ADDRESS__)
    // This sanitizer runtime's allocator lock can be inherited held by a child of fork(),
    // which then hangs in its first allocation, whatever the code under test does.
    GTEST_SKIP() << "the sanitizer's allocator is not safe across fork() with threads running";
#endif
    const std::string w = ws("w");
    const Bytes b = encoded(200);
    std::atomic<bool> stop{false};
    background_write_started();
    std::thread writer([&] {
        while (!stop) (void)write_snapshot_file(w, b, next_snapshot_sequence());
    });
    int hung = 0;
    std::string how;
    for (int i = 0; i < 100; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(5);  // a deadlock ends the child by SIGALRM
            const bool idle = wait_for_background_writes(std::chrono::milliseconds(0));
            const bool wrote = write_snapshot_file(w, b, next_snapshot_sequence()).ok();
            ::_exit(idle && wrote ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++hung;
            how += WIFSIGNALED(status) ? " signal " + std::to_string(WTERMSIG(status)) : " exit " + std::to_string(WEXITSTATUS(status));
        }
    }
    stop = true;
    writer.join();
    background_write_finished();
    EXPECT_EQ(hung, 0) << how;
    EXPECT_TRUE(wait_for_background_writes(std::chrono::milliseconds(0)));
    EXPECT_EQ(file_bytes(snapshot_path(w)), b);
}

// Opening an engine while build()'s write is in flight: the opening rewrite must neither land
// over the newer snapshot nor make the write in flight look stale.
TEST_F(SnapshotFile, OpeningWhileABackgroundWriteIsInFlightKeepsIt) {
    const std::string w = ws("w");
    EngineState building;
    for (int i = 0; i < 3000; ++i) {
        NodeMeta m;
        m.node_id = "m.py:f" + std::to_string(i);
        m.node_type = "Function";
        m.name = "f" + std::to_string(i);
        m.file_path = "m.py";
        upsert_node(building, m);
    }
    ASSERT_TRUE(save_engine(building, w).ok());
    for (int round = 0; round < 10; ++round) {
        NodeMeta marker;
        marker.node_id = "round";
        marker.node_type = "Function";
        marker.name = std::to_string(round);
        upsert_node(building, marker);
        auto encoded = compile_and_encode(building);
        ASSERT_TRUE(encoded.ok());
        ASSERT_TRUE(write_in_background(w, std::move(*encoded)).ok());
        EngineState opened;
        auto loaded = restore_engine(opened, w);
        ASSERT_TRUE(loaded.ok() && *loaded);
        ASSERT_TRUE(wait_for_background_writes(std::chrono::seconds(30)));
        auto now = restored(w);
        ASSERT_TRUE(now && now->nodes.contains("round"));
        EXPECT_EQ(now->nodes.at("round").name, std::to_string(round));
    }
    EXPECT_TRUE(leftovers(w).empty());
}
