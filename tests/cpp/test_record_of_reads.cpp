// The record of reads saved beside a snapshot: a restored engine takes it up at its first
// change, so that its first refresh re-resolves only what changed; the result must still be
// the full pass's, and a record that does not belong to the file read must not be taken.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "metadata/engine/incremental.hpp"
#include "metadata/engine/mutations.hpp"
#include "random_project.hpp"
#include "storage/snapshot/lifecycle.hpp"
#include "storage/snapshot/snapshot.hpp"

using namespace corvane;
using namespace corvane::testing;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Workspace {
    std::string path;
    Workspace() {
        std::string tmpl = (fs::temp_directory_path() / "corvane_reads_XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~Workspace() { fs::remove_all(path); }
    std::string reads_file() const { return path + "/" + std::string(kReadsFileName); }
};

Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void expect_full_pass_result(const EngineState& got, const EngineState& before_refresh, const std::string& where) {
    EngineState oracle = before_refresh;
    ASSERT_TRUE(repopulate_edges_full(oracle).ok());
    EXPECT_TRUE(same_edges(got, oracle)) << where;
    Status s = check_incremental_invariants(got);
    EXPECT_TRUE(s.ok()) << where << ": " << (s.ok() ? "" : s.error().message);
}

// x.js:a calls "b" and "c"; x.js:b exists, c does not yet.
EngineState small_project() {
    EngineState s;
    NodeMeta a = node("x.js:a", "Function", "a", "x.js");
    a.calls = std::vector<std::string>{"b", "c"};
    upsert_node(s, a);
    upsert_node(s, node("x.js:b", "Function", "b", "x.js"));
    upsert_node(s, node("y.js:other", "Function", "other", "y.js"));
    EXPECT_TRUE(repopulate_edges(s).ok());
    return s;
}

// Opens the workspace, adds the callee a's call "c" was waiting for, refreshes: whether that
// first refresh was an incremental one, its result checked against the full pass.
bool first_refresh_incremental(const std::string& ws) {
    EngineState r;
    EXPECT_TRUE(restore_engine(r, ws).ok());
    upsert_node(r, node("y.js:c", "Function", "c", "y.js"));
    EngineState before = r;
    EXPECT_TRUE(repopulate_edges(r).ok());
    expect_full_pass_result(r, before, "after restore");
    EXPECT_TRUE(r.record.resolved_call_edges.contains(StringPair("x.js:a", "y.js:c")));
    return !r.incremental.last_refresh_full;
}

}  // namespace

TEST(RecordOfReads, RandomEditsAcrossRestartsMatchTheFullPass) {
    Workspace ws;
    std::size_t restarts = 0, taken = 0;
    for (int seed = 1; seed <= 25; ++seed) {
        RandomProject<std::mt19937> p(seed);
        ASSERT_TRUE(repopulate_edges(p.state).ok());
        for (int step = 0; step < 24; ++step) {
            const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step);
            const bool restart = p.rng() % 3 == 0 && !p.state.record.nodes.empty();
            if (restart) {
                // Saved as the indexer saves, compiled first, then opened by a new process.
                ASSERT_TRUE(build_and_save(p.state, ws.path).ok());
                EngineState restored;
                ASSERT_TRUE(restore_engine(restored, ws.path).ok());
                ASSERT_TRUE(restored.record.nodes == p.state.record.nodes) << where;
                p.state = std::move(restored);
                ++restarts;
            }
            for (int k = 1 + p.rng() % 3; k > 0; --k) p.step();
            EngineState before = p.state;
            ASSERT_TRUE(repopulate_edges(p.state).ok());
            expect_full_pass_result(p.state, before, where);
            EXPECT_TRUE(p.consistent) << where;
            if (restart && !p.state.incremental.last_refresh_full) ++taken;
            if (HasFailure()) return;
        }
    }
    // The record must actually be taken up, or the comparison proves nothing.
    EXPECT_GT(taken * 10, restarts * 8) << taken << " of " << restarts;
}

TEST(RecordOfReads, AnIndexJustBuiltIsSavedWithItsRecord) {
    // As the indexer builds one: every node added to an empty engine, then each caller
    // resolved with its stored calls, saved with no refresh in between.
    Workspace ws;
    std::size_t saved = 0, projects = 0;
    for (int seed = 1; seed <= 25; ++seed) {
        RandomProject<std::mt19937> p(seed);
        std::vector<NodeMeta> related;
        for (const auto& [id, meta] : p.state.record.nodes) {
            if (meta.django_relations_json) related.push_back(meta);
        }
        const bool relations = seed % 2 == 1 && !related.empty();
        if (!relations) {
            for (NodeMeta& meta : related) {
                meta.django_relations_json.reset();
                upsert_node(p.state, meta);
            }
        }
        std::vector<std::pair<std::string, std::vector<std::string>>> callers;
        for (const auto& [id, meta] : p.state.record.nodes) {
            if (meta.calls) callers.emplace_back(id, *meta.calls);
        }
        for (const auto& [id, calls] : callers) ASSERT_TRUE(resolve_and_connect_calls(p.state, id, calls).ok());
        ASSERT_TRUE(build_and_save(p.state, ws.path).ok());
        ++projects;
        // Django relations are resolved by the refresh alone: until one ran, nothing vouches.
        EXPECT_EQ(fs::exists(ws.reads_file()), !relations && !p.state.record.nodes.empty()) << "seed " << seed;
        if (!fs::exists(ws.reads_file())) continue;
        ++saved;
        EngineState restored;
        ASSERT_TRUE(restore_engine(restored, ws.path).ok());
        p.state = std::move(restored);
        for (int k = 1 + p.rng() % 3; k > 0; --k) p.step();
        EngineState before = p.state;
        ASSERT_TRUE(repopulate_edges(p.state).ok());
        EXPECT_FALSE(p.state.incremental.last_refresh_full) << "seed " << seed;
        expect_full_pass_result(p.state, before, "seed " + std::to_string(seed));
        if (HasFailure()) return;
    }
    EXPECT_GT(saved * 2, projects);
}

TEST(RecordOfReads, TakenOnlyWholeAndBesideTheFileItWasSavedWith) {
    Workspace ws;
    EngineState s = small_project();
    ASSERT_TRUE(build_and_save(s, ws.path).ok());
    const Bytes good = file_bytes(ws.reads_file());
    ASSERT_FALSE(good.empty());
    EXPECT_TRUE(first_refresh_incremental(ws.path));

    for (std::size_t at : {std::size_t{0}, std::size_t{9}, good.size() / 2, good.size() - 1}) {
        Bytes bad = good;
        bad[at] ^= 0x20;
        write_file(ws.reads_file(), bad);
        EXPECT_FALSE(first_refresh_incremental(ws.path)) << "byte " << at << " changed";
    }
    write_file(ws.reads_file(), Bytes(good.begin(), good.end() - 1));
    EXPECT_FALSE(first_refresh_incremental(ws.path)) << "cut short";

    // Saved again, the same state is a new file: the record written then belongs to it, the
    // earlier one does not.
    ASSERT_TRUE(build_and_save(s, ws.path).ok());
    EXPECT_TRUE(first_refresh_incremental(ws.path));
    write_file(ws.reads_file(), good);
    EXPECT_FALSE(first_refresh_incremental(ws.path)) << "the record of the file replaced";

    // A state changed since its last refresh has no record to save, and the old one goes.
    upsert_node(s, node("y.js:d", "Function", "d", "y.js"));
    ASSERT_TRUE(build_and_save(s, ws.path).ok());
    EXPECT_FALSE(fs::exists(ws.reads_file()));
    EXPECT_FALSE(first_refresh_incremental(ws.path));
}

TEST(RecordOfReads, TakenAtTheFirstChangeAndOnlyOntoTheRecordAsRestored) {
    Workspace ws;
    EngineState s = small_project();
    ASSERT_TRUE(build_and_save(s, ws.path).ok());

    // Opening and querying reads nothing more; the first change takes the record up.
    EngineState r;
    ASSERT_TRUE(restore_engine(r, ws.path).ok());
    EXPECT_TRUE(r.incremental.saved.has_value());
    EXPECT_FALSE(r.incremental.valid);
    upsert_node(r, node("y.js:c", "Function", "c", "y.js"));
    EXPECT_FALSE(r.incremental.saved.has_value());
    EXPECT_TRUE(r.incremental.valid);

    // A resolved call added before anything took the record up: the record is not the
    // restored one any more (the first operation takes it up before it adds the pair, but
    // a change made around the operations must be caught too).
    EngineState q;
    ASSERT_TRUE(restore_engine(q, ws.path).ok());
    EngineState around = q;
    around.incremental.saved.reset();
    ASSERT_TRUE(add_typed_edge(around, "y.js:other", "x.js:b", EdgeKind::ResolvedCall).ok());
    around.incremental.saved = q.incremental.saved;
    take_saved_reads(around);
    EXPECT_FALSE(around.incremental.valid);
    EngineState before = around;
    ASSERT_TRUE(repopulate_edges(around).ok());
    EXPECT_TRUE(around.incremental.last_refresh_full);
    expect_full_pass_result(around, before, "changed around the operations");
}

TEST(RecordOfReads, BytesThatDoNotFitTheRecordAreRefused) {
    EngineState s = small_project();
    const auto bytes = encode_recorded_reads(s);
    ASSERT_TRUE(bytes.has_value());
    // Every shorter prefix, and one byte more, fails to decode; the state stays as it was.
    for (std::size_t n = 0; n <= bytes->size(); ++n) {
        Bytes cut(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(n));
        if (n == bytes->size()) cut.push_back(0);
        EngineState r = s;
        forget_recorded_reads(r);
        EXPECT_FALSE(adopt_recorded_reads(r, cut)) << n;
        EXPECT_FALSE(r.incremental.valid);
    }
    // Another record: a node to resolve that the bytes do not know.
    EngineState other = s;
    NodeMeta extra = node("y.js:caller", "Function", "caller", "y.js");
    extra.calls = std::vector<std::string>{"b"};
    upsert_node(other, extra);
    forget_recorded_reads(other);
    EXPECT_FALSE(adopt_recorded_reads(other, *bytes));
    // Its own record takes them.
    EngineState same = s;
    forget_recorded_reads(same);
    EXPECT_TRUE(adopt_recorded_reads(same, *bytes));
    EXPECT_TRUE(check_incremental_invariants(same).ok());

    // With changes since the last refresh there is nothing to save.
    upsert_node(s, node("y.js:c", "Function", "c", "y.js"));
    EXPECT_FALSE(encode_recorded_reads(s).has_value());
}

TEST(RecordOfReads, ReaderChainsAreTakenBackOnlyWhenEveryChainEnds) {
    ReaderIndex index;
    for (std::uint32_t s = 0; s < 6; ++s) {
        index.add(100 + s % 3, s);
        index.add(200, s);
    }
    ReaderIndex back;
    ASSERT_TRUE(back.assign(index.heads(), index.links(), 6));
    auto readers = [](const ReaderIndex& i, std::uint64_t key) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t s : i.readers(key)) out.push_back(s);
        return out;
    };
    for (std::uint64_t key : {100, 101, 102, 200, 300}) EXPECT_EQ(readers(back, key), readers(index, key)) << key;
    using Link = ReaderIndex::Link;
    using Head = ReaderIndex::Head;
    const std::uint32_t end = ReaderIndex::kEnd;
    EXPECT_FALSE(back.assign({{1, 0}}, {Link{0, 1}, Link{0, 0}}, 1)) << "a chain that loops";
    EXPECT_FALSE(back.assign({{1, 0}, {2, 0}}, {Link{0, end}}, 1)) << "two keys sharing a link";
    EXPECT_FALSE(back.assign({{1, 1}}, {Link{0, end}}, 1)) << "a head past the links";
    EXPECT_FALSE(back.assign({{1, 0}}, {Link{1, end}}, 1)) << "a slot past the slots";
    EXPECT_FALSE(back.assign({Head{1, 0}, Head{1, 1}}, {Link{0, end}, Link{0, end}}, 1)) << "a key twice";
    EXPECT_TRUE(back.readers(1).begin() == back.readers(1).end()) << "a refused index is left empty";
}
