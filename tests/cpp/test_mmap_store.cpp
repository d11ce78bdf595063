#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "storage/mmap_store/mmap_store.hpp"
#include "storage/mmap_store/node_record.hpp"

using namespace corvane;
using namespace corvane::storage;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t u32_at(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::int32_t i32_at(const Bytes& b, std::size_t at) { return static_cast<std::int32_t>(u32_at(b, at)); }

std::uint64_t u64_at(const Bytes& b, std::size_t at) {
    return u32_at(b, at) | (static_cast<std::uint64_t>(u32_at(b, at + 4)) << 32);
}

std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

class MmapStoreFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/corvane_mmap_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string& name = "store.bin") const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace

TEST(NodeRecord, SampleRecordBytesExactly) {
    Bytes expected(96, 0);
    std::memcpy(expected.data(), "python_test_node", 16);
    expected[16] = 0x02;
    const std::uint8_t tail[] = {0x90, 0x00, 0x00, 0x00, 0xCC, 0xFF, 0xFF, 0xFF, 0xD4, 0xFF, 0xFF, 0xFF};
    std::memcpy(expected.data() + 52, tail, sizeof tail);
    expected[88] = 0x01;
    expected[92] = 0x0A;
    EXPECT_EQ(sample_node_record(), expected);
}

TEST(NodeRecord, InlineNamesArePaddedWithFF) {
    NodeRecordFields f;
    f.kind = 7;
    f.hash.fill(0xAB);
    f.name = "abc";
    f.first = 0xDEADBEEF;
    f.second = 3;
    Bytes r = build_node_record(f).value();
    ASSERT_EQ(r.size(), 80u);  // nothing before the root
    EXPECT_EQ(r[0], 7);
    for (int i = 1; i <= 32; ++i) EXPECT_EQ(r[i], 0xAB);
    const Bytes name(r.begin() + 36, r.begin() + 44);
    EXPECT_EQ(name, (Bytes{'a', 'b', 'c', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(i32_at(r, 44), -44);  // empty list at the record start
    EXPECT_EQ(u32_at(r, 72), 0xDEADBEEFu);
    EXPECT_EQ(u32_at(r, 76), 3u);

    f.name = "";
    r = build_node_record(f).value();
    EXPECT_EQ(Bytes(r.begin() + 36, r.begin() + 44), Bytes(8, 0xFF));
}

TEST(NodeRecord, EightByteNamesStayInlineNineGoOutOfLine) {
    NodeRecordFields f;
    f.name = "abcdefgh";
    Bytes r = build_node_record(f).value();
    ASSERT_EQ(r.size(), 80u);
    EXPECT_EQ(std::string(r.begin() + 36, r.begin() + 44), "abcdefgh");

    f.name = "abcdefghi";
    r = build_node_record(f).value();
    // 9 name bytes, padded to 16 (where the empty list starts), then the root.
    ASSERT_EQ(r.size(), 16u + 80u);
    const std::size_t root = 16;
    EXPECT_EQ(std::string(r.begin(), r.begin() + 9), "abcdefghi");
    for (std::size_t i = 9; i < root; ++i) EXPECT_EQ(r[i], 0);
    EXPECT_EQ(u32_at(r, root + 36), 0x80u | 9u);
    EXPECT_EQ(i32_at(r, root + 40), -static_cast<std::int32_t>(root + 36));
    EXPECT_EQ(static_cast<std::int64_t>(root + 44) + i32_at(r, root + 44), 16);
}

TEST(NodeRecord, LongNameLengthIsSplitOverTheMarkerWord) {
    NodeRecordFields f;
    const std::string name(1000, 'x');  // 1000 = 15 * 64 + 40
    f.name = name;
    const Bytes r = build_node_record(f).value();
    const std::size_t root = 1000;  // already a multiple of 8
    ASSERT_EQ(r.size(), root + 80);
    EXPECT_EQ(u32_at(r, root + 36), 0x80u | 40u | (15u << 8));
}

TEST(NodeRecord, ListIsAlignedAndReachableThroughItsOffset) {
    NodeRecordFields f;
    f.name = "a_longer_name";  // 13 bytes: list starts at 16
    const std::uint64_t list[] = {1, 0x0102030405060708ull, ~0ull};
    f.list = list;
    f.value = 0x1122334455667788ull;
    const Bytes r = build_node_record(f).value();
    const std::size_t root = 16 + 24;
    ASSERT_EQ(r.size(), root + 80);
    const std::int64_t list_at = static_cast<std::int64_t>(root + 44) + i32_at(r, root + 44);
    EXPECT_EQ(list_at, 16);
    EXPECT_EQ(u32_at(r, root + 48), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(u64_at(r, static_cast<std::size_t>(list_at) + 8 * i), list[i]);
    const std::int64_t name_at = static_cast<std::int64_t>(root + 36) + i32_at(r, root + 40);
    EXPECT_EQ(std::string(r.begin() + name_at, r.begin() + name_at + 13), "a_longer_name");
    EXPECT_EQ(r[root + 56], 1);
    for (std::size_t i = 57; i < 64; ++i) EXPECT_EQ(r[root + i], 0);
    EXPECT_EQ(u64_at(r, root + 64), 0x1122334455667788ull);

    // An inline name with a list: the list is at the record start.
    f.name = "short";
    const Bytes s = build_node_record(f).value();
    ASSERT_EQ(s.size(), 24u + 80u);
    EXPECT_EQ(i32_at(s, 24 + 44), -(24 + 44));
}

TEST(NodeRecord, NamesOfTwoToTheThirtyBytesAreRefused) {
    // Reserved address space only: the size check comes before any byte is read.
    const std::size_t size = std::size_t{1} << 30;
    void* big = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(big, MAP_FAILED);
    NodeRecordFields f;
    f.name = std::string_view(static_cast<const char*>(big), size);
    auto r = build_node_record(f);
    munmap(big, size);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::WrongState);
}








TEST_F(MmapStoreFiles, FileDescriptorIsCloseOnExec) {
    const std::string fd_dir = "/proc/self/fd";
    auto count_store_fds = [&](bool want_cloexec) {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(fd_dir)) {
            std::error_code ec;
            auto target = std::filesystem::read_symlink(entry.path(), ec);
            if (ec || target != path()) continue;
            std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
            std::string key;
            unsigned long flags = 0;
            while (info >> key) {
                if (key == "flags:") {
                    info >> std::oct >> flags;
                    break;
                }
            }
            if (((flags & 02000000) != 0) == want_cloexec) ++n;
        }
        return n;
    };
    auto store = MmapStore::open(path(), 0);
    ASSERT_TRUE(store.ok());
    EXPECT_EQ(count_store_fds(true), 1);
    EXPECT_EQ(count_store_fds(false), 0);
}

TEST_F(MmapStoreFiles, FailedGrowthKeepsTheOldMappingAndOffset) {
    auto store = MmapStore::open(path(), 4096);
    ASSERT_TRUE(store.ok());
    const Bytes rec = sample_node_record();
    for (int i = 0; i < 42; ++i) ASSERT_TRUE(store->append(rec).ok());

    // A file size limit makes the growth fail (with EFBIG instead of a signal).
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto failed = store->append(rec);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);

    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::WrongState);
    EXPECT_EQ(failed.error().message, os_error_text(EFBIG));
    EXPECT_EQ(store->mapping_length(), 4096u);
    EXPECT_EQ(store->append_offset(), 96u * 42);
    EXPECT_EQ(store->view(96u * 41, 96).value(), rec);

    auto retried = store->append(rec);
    ASSERT_TRUE(retried.ok());
    EXPECT_EQ(retried->offset, 96u * 42);
    EXPECT_EQ(file_size(path()), 8192u);
}

// Growth reserves disk blocks: a store file is never sparse where records will land, so a
// full file system fails the growth instead of the first write through the mapping.
TEST_F(MmapStoreFiles, GrowthReservesBlocksForTheWholeNewLength) {
    auto store = MmapStore::open(path(), 1 << 16);
    ASSERT_TRUE(store.ok());
    struct stat st;
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_GE(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 16);
    const Bytes rec = sample_node_record();
    while (store->mapping_length() == (1u << 16)) ASSERT_TRUE(store->append(rec).ok());
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_GE(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 17);
}

TEST_F(MmapStoreFiles, FileShortenedBehindTheStoreIsAnErrorNotAFault) {
    auto store = MmapStore::open(path(), 8192);
    ASSERT_TRUE(store.ok());
    const Bytes rec = sample_node_record();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(store->append(rec).ok());
    ASSERT_EQ(::truncate(path().c_str(), 4096), 0);

    auto beyond = store->view(4000, 200);
    ASSERT_FALSE(beyond.ok());
    EXPECT_EQ(beyond.error().kind, ErrorKind::WrongState);
    EXPECT_EQ(store->view(96, 96).value(), rec);  // what still fits is readable
    auto appended = store->append(rec);
    ASSERT_FALSE(appended.ok());
    EXPECT_EQ(appended.error().kind, ErrorKind::WrongState);
    EXPECT_EQ(store->append_offset(), 96u * 50);
    // The file grown back by someone: appends work again.
    ASSERT_EQ(::truncate(path().c_str(), 8192), 0);
    EXPECT_EQ(store->append(rec).value().offset, 96u * 50);
}
