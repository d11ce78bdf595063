#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "storage/snapshot/snapshot.hpp"

using namespace corvane;

namespace {

using Bytes = ByteBuffer;

// Builds snapshot bytes by hand, independently of the encoder.
struct ByteBuilder {
    Bytes b;
    ByteBuilder& header(std::uint8_t version = 3) {
        b.insert(b.end(), {'C', 'R', 'V', 'N', version});
        return *this;
    }
    ByteBuilder& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    ByteBuilder& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    ByteBuilder& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    ByteBuilder& str(std::string_view s) {
        u64(s.size());
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    ByteBuilder& zeros(std::size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    // A NodeMeta with only its four strings.
    ByteBuilder& bare_meta(std::string_view id) { return str(id).str("Function").str("f").str("m.py").zeros(16); }
};

NodeMeta bare_node(const std::string& id) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = "Function";
    m.name = "f";
    m.file_path = "m.py";
    return m;
}

Bytes encode(const MetadataEngine& r) {
    auto bytes = encode_snapshot(r);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? *bytes : Bytes{};
}

std::optional<MetadataEngine> decode(std::span<const std::uint8_t> b) { return decode_snapshot(b); }

class RandomEngine {
public:
    explicit RandomEngine(std::uint64_t seed) : rng_(seed) {}

    std::string text(std::size_t max_len = 12) {
        static const char* pieces[] = {"a", "b", "_", ".", ":", "/", "é", "日本", "😀", "Σ", "x", "0"};
        std::string s;
        const std::size_t n = pick(max_len + 1);
        for (std::size_t i = 0; i < n; ++i) s += pieces[pick(std::size(pieces))];
        return s;
    }

    MetadataEngine engine(std::size_t nodes) {
        MetadataEngine r;
        std::vector<std::string> ids;
        for (std::size_t i = 0; i < nodes; ++i) {
            NodeMeta m = meta("n" + std::to_string(i) + ":" + text());
            ids.push_back(m.node_id);
            // Sixteen hashes shared among the ids, each mapping back to the last of them.
            const std::string hash(64, "0123456789abcdef"[i % 16]);
            r.identities.restore_hash(m.node_id, hash);
            r.identities.restore_back_mapping(hash, m.node_id);
            r.name_index.add(text(), m.node_id);
            r.file_index.add(m.file_path, m.node_id);
            r.nodes.emplace(m.node_id, std::move(m));
        }
        for (PairSet* s : all_edge_sets(r)) {
            for (std::size_t i = 0; i < nodes && !ids.empty(); ++i) s->insert({ids[pick(ids.size())], ids[pick(ids.size())]});
        }
        return r;
    }

    NodeMeta meta(std::string id) {
        NodeMeta m;
        m.node_id = std::move(id);
        m.node_type = coin() ? "Function" : "Class";
        m.name = text();
        m.file_path = text() + ".py";
        maybe(m.signature, [&] { return text(40); });
        maybe(m.docstring, [&] { return text(80); });
        maybe(m.lines_start, [&] { return u32(); });
        maybe(m.lines_end, [&] { return u32(); });
        maybe(m.returns, [&] { return list(); });
        maybe(m.calls, [&] { return list(); });
        maybe(m.django_relations_json, [&] { return std::string("{\"fk\":[\"") + text() + "\"]}"; });
        maybe(m.calls_count, [&] { return u32(); });
        maybe(m.callers_count, [&] { return u32(); });
        maybe(m.lines_count, [&] { return u32(); });
        maybe(m.is_async, [&] { return coin(); });
        maybe(m.is_generator, [&] { return coin(); });
        maybe(m.param_count, [&] { return u32(); });
        maybe(m.is_exported, [&] { return coin(); });
        maybe(m.blast_radius_score, [&] { return u32(); });
        maybe(m.extra_json, [&] { return std::string("{}"); });
        return m;
    }

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool coin() { return pick(2) == 1; }
    std::uint32_t u32() { return static_cast<std::uint32_t>(rng_()); }
    std::vector<std::string> list() {
        std::vector<std::string> v(pick(4));
        for (auto& s : v) s = text();
        return v;
    }
    template <class T, class F>
    void maybe(std::optional<T>& o, F make) {
        if (coin()) o = make();
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace

TEST(SnapshotEncode, EmptyEngineIsHeaderAndNineZeroCounts) {
    const Bytes b = encode(MetadataEngine{});
    ASSERT_EQ(b.size(), 77u);
    EXPECT_EQ(b, ByteBuilder().header().zeros(72).b);
    auto back = decode(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, MetadataEngine{});
}

TEST(SnapshotEncode, NodeWithoutOptionalsIsFourStringsAndSixteenZeroTags) {
    MetadataEngine r;
    r.nodes.emplace("m.py:f", bare_node("m.py:f"));
    const Bytes expected = ByteBuilder().header().u64(1).str("m.py:f").bare_meta("m.py:f").zeros(64).b;
    EXPECT_EQ(encode(r), expected);
}

// Pins the declaration order of every field: a round trip alone would not notice a swap.
TEST(SnapshotEncode, FullNodeFollowsFieldOrder) {
    NodeMeta m = bare_node("id");
    m.signature = "sig";
    m.docstring = "doc";
    m.lines_start = 1;
    m.lines_end = 2;
    m.returns = std::vector<std::string>{"int"};
    m.calls = std::vector<std::string>{"g", "h"};
    m.django_relations_json = "{}";
    m.calls_count = 3;
    m.callers_count = 4;
    m.lines_count = 0x01020304;
    m.is_async = true;
    m.is_generator = false;
    m.param_count = 5;
    m.is_exported = true;
    m.blast_radius_score = 6;
    m.extra_json = "[]";
    MetadataEngine r;
    r.nodes.emplace("id", m);
    r.structural_edges.insert({"a", "b"});

    ByteBuilder e;
    e.header().u64(1).str("id").str("id").str("Function").str("f").str("m.py");
    e.u8(1).str("sig").u8(1).str("doc").u8(1).u32(1).u8(1).u32(2);
    e.u8(1).u64(1).str("int").u8(1).u64(2).str("g").str("h").u8(1).str("{}");
    e.u8(1).u32(3).u8(1).u32(4).u8(1).u32(0x01020304).u8(1).u8(1).u8(1).u8(0);
    e.u8(1).u32(5).u8(1).u8(1).u8(1).u32(6).u8(1).str("[]");
    e.zeros(7 * 8).u64(1).str("a").str("b");
    EXPECT_EQ(encode(r), e.b);
}

TEST(SnapshotEncode, RejectsStringsTheDecoderWouldReject) {
    MetadataEngine r;
    r.nodes.emplace("m.py:f", bare_node("m.py:f"));
    r.nodes.at("m.py:f").docstring = std::string("bad \xff byte");
    auto bytes = encode_snapshot(r);
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().kind, ErrorKind::Io);
}

// Everything an encoder streams, gathered; `stop_after` runs, when given, ends the write early.
struct Gathered {
    Bytes bytes;
    Status status;
    bool cancelled = false;
};
Gathered stream_of(const SnapshotEncoder& encoder, std::size_t slots,
                   std::optional<std::size_t> stop_after = std::nullopt) {
    Gathered g;
    std::size_t runs = 0;
    g.status = encoder.stream(
        [&](ByteRuns& in) -> Status {
            for (;;) {
                if (stop_after && runs == *stop_after) return Error{ErrorKind::Io, "writer gave up"};
                auto run = in.next();
                if (!run) {
                    g.cancelled = true;
                    return Error{ErrorKind::Io, "cancelled"};
                }
                if (run->empty()) return {};
                ++runs;
                g.bytes.insert(g.bytes.end(), run->begin(), run->end());
            }
        },
        slots);
    return g;
}

// The threads write pieces at offsets the sizing pass gave, or into a few slots that a
// writer frees as it goes: any slip in a size, an offset or a slot shows as bytes that differ
// from one thread writing one piece per section, front to back.
TEST(SnapshotEncode, PiecesThreadsAndStreamingGiveTheBytesOfOneSequentialPass) {
    constexpr std::size_t kWhole = static_cast<std::size_t>(-1);
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        RandomEngine gen(seed);
        const MetadataEngine r = gen.engine(seed * seed * 40);
        const SnapshotEncoder plain(r, 1, kWhole);
        Bytes expected(plain.size());
        ASSERT_TRUE(plain.write(expected.data()).ok());
        for (unsigned workers : {1u, 2u}) {
            auto whole = encode_snapshot(r, workers);
            ASSERT_TRUE(whole.ok());
            EXPECT_EQ(*whole, expected) << "seed " << seed << ", " << workers << " threads";
            for (std::size_t piece_bytes : {std::size_t{1}, std::size_t{64}, std::size_t{4096}}) {
                const SnapshotEncoder encoder(r, workers, piece_bytes);
                ASSERT_EQ(encoder.size(), expected.size());
                Bytes got(encoder.size());
                ASSERT_TRUE(encoder.write(got.data()).ok());
                EXPECT_EQ(got, expected) << "seed " << seed << ", pieces of " << piece_bytes;
                if (got.size() / piece_bytes > 2000) continue;  // a handover per piece: slow
                for (std::size_t slots : {1, 3}) {
                    const Gathered g = stream_of(encoder, slots);
                    ASSERT_TRUE(g.status.ok()) << g.status.error().message;
                    EXPECT_EQ(g.bytes, expected) << "seed " << seed << ", " << slots << " slots";
                }
            }
        }
        EXPECT_EQ(encode(r), expected);
    }
}

// A writer that stops early (a failed write) ends the encoding without waiting for it;
// its error is what the stream returns.
TEST(SnapshotEncode, StreamEndsWhenTheWriterStops) {
    RandomEngine gen(3);
    const MetadataEngine r = gen.engine(2000);
    for (unsigned workers : {1u, 2u}) {
        const SnapshotEncoder encoder(r, workers, 256);
        for (std::size_t after : {0, 1, 5}) {
            const Gathered g = stream_of(encoder, 2, after);
            ASSERT_FALSE(g.status.ok());
            EXPECT_EQ(g.status.error().message, "writer gave up");
        }
    }
}

TEST(SnapshotEncode, TwoThreadsRejectInvalidUtf8InAnySection) {
    RandomEngine gen(5);
    const MetadataEngine base = gen.engine(300);
    const std::string bad("x\xc3(", 3);
    std::vector<std::function<void(MetadataEngine&)>> spoil = {
        [&](MetadataEngine& r) { r.nodes.begin()->second.name = bad; },
        [&](MetadataEngine& r) { r.name_index.add(bad, "id"); },
        [&](MetadataEngine& r) { r.file_index.add(r.file_index.entries().begin()->first, bad); },
        [&](MetadataEngine& r) { r.identities.restore_back_mapping(bad, "id"); },
        [&](MetadataEngine& r) { r.structural_edges.insert({"a", bad}); },
    };
    for (std::size_t i = 0; i < spoil.size(); ++i) {
        MetadataEngine r = base;
        spoil[i](r);
        for (unsigned workers : {1u, 2u}) {
            auto bytes = encode_snapshot(r, workers);
            ASSERT_FALSE(bytes.ok()) << "section " << i << ", " << workers << " threads";
            EXPECT_EQ(bytes.error().kind, ErrorKind::Io);
            // Streamed, the writer never gets the whole snapshot, and the encoding's error is
            // the one reported.
            const SnapshotEncoder encoder(r, workers, 64);
            const Gathered g = stream_of(encoder, 2);
            ASSERT_FALSE(g.status.ok()) << "section " << i << ", streamed";
            EXPECT_EQ(g.status.error().message, "snapshot string is not valid UTF-8");
            EXPECT_LT(g.bytes.size(), encoder.size());
        }
    }
}

TEST(SnapshotRoundTrip, RandomEnginesDecodeToEqualRecords) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        RandomEngine gen(seed);
        const MetadataEngine r = gen.engine(seed * 7);
        const Bytes b = encode(r);
        auto back = decode(b);
        ASSERT_TRUE(back) << "seed " << seed;
        EXPECT_EQ(*back, r) << "seed " << seed;
        EXPECT_EQ(encode(*back).size(), b.size());
    }
}

TEST(SnapshotDecode, RejectsBadHeaders) {
    Bytes good = encode(MetadataEngine{});
    EXPECT_FALSE(decode(Bytes(good.begin(), good.begin() + 4)));
    EXPECT_FALSE(decode(Bytes{}));
    for (std::uint8_t v : {0, 2, 4, 255}) {
        Bytes b = good;
        b[4] = v;
        EXPECT_FALSE(decode(b)) << int(v);
    }
    Bytes other = good;
    other[0] = 'X';
    EXPECT_FALSE(decode(other));
    // A header alone is a damaged payload, not an empty engine.
    EXPECT_FALSE(decode(Bytes(good.begin(), good.begin() + 5)));
}

TEST(SnapshotDecode, IgnoresAppendedBytes) {
    RandomEngine gen(7);
    const MetadataEngine r = gen.engine(5);
    Bytes b = encode(r);
    b.insert(b.end(), {0xff, 0x00, 0xfe, 'C', 'R', 'V', 'N'});
    auto back = decode(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, r);
}

TEST(SnapshotDecode, RejectsEveryTruncation) {
    RandomEngine gen(11);
    const Bytes b = encode(gen.engine(3));
    ASSERT_TRUE(decode(b));
    for (std::size_t len = 0; len < b.size(); ++len) {
        EXPECT_FALSE(decode(Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(len)))) << len;
    }
}

TEST(SnapshotDecode, RejectsTagAndBooleanBytesOtherThanZeroOrOne) {
    // The sixteen tags follow the four strings; is_async has the eleventh.
    const Bytes good = ByteBuilder().header().u64(1).str("k").bare_meta("k").zeros(64).b;
    ASSERT_TRUE(decode(good));
    const std::size_t tags = good.size() - 64 - 16;
    for (std::size_t t = 0; t < 16; ++t) {
        Bytes b = good;
        b[tags + t] = 2;
        EXPECT_FALSE(decode(b)) << "tag " << t;
    }
    // is_async present with a boolean byte of 2, then valid tags for the rest.
    Bytes b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(tags));
    ByteBuilder rest;
    rest.zeros(10).u8(1).u8(2).zeros(5).zeros(64);
    b.insert(b.end(), rest.b.begin(), rest.b.end());
    EXPECT_FALSE(decode(b));
    b[tags + 11] = 1;
    auto ok = decode(b);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->nodes.at("k").is_async, true);
}

TEST(SnapshotDecode, RejectsNonUtf8InAnyString) {
    const char* bad[] = {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"};
    for (const char* s : bad) {
        // As a map key, as a node field, as an edge end.
        EXPECT_FALSE(decode(ByteBuilder().header().u64(1).str(s).bare_meta("k").zeros(64).b));
        EXPECT_FALSE(decode(ByteBuilder().header().u64(1).str("k").bare_meta(s).zeros(64).b));
        EXPECT_FALSE(decode(ByteBuilder().header().zeros(64).u64(1).str("a").str(s).b));
    }
    EXPECT_TRUE(decode(ByteBuilder().header().zeros(64).u64(1).str("a").str("\xf4\x8f\xbf\xbf").b));
}

TEST(SnapshotDecode, LaterDuplicateKeysReplaceEarlierOnes) {
    NodeMeta second = bare_node("k");
    second.name = "g";
    const Bytes b = ByteBuilder()
                        .header()
                        .u64(2)
                        .str("k")
                        .bare_meta("k")
                        .str("k")
                        .str("k").str("Function").str("g").str("m.py").zeros(16)
                        .zeros(8 * 2)
                        .u64(2).str("k").str("h1").str("k").str("h2")  // id_to_hash
                        .zeros(8)
                        .u64(2).str("a").str("b").str("a").str("b")  // repeated pair
                        .zeros(8 * 3)
                        .b;
    auto r = decode(b);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->nodes.size(), 1u);
    EXPECT_EQ(r->nodes.at("k"), second);
    ASSERT_TRUE(r->identities.find("k"));
    EXPECT_EQ(r->identities.hash_text(*r->identities.find("k")), "h2");
    EXPECT_EQ(r->resolved_call_edges.size(), 1u);
}

TEST(SnapshotDecode, HugeCountsInTinyFilesAreRejectedWithoutAllocating) {
    const std::uint64_t huge = std::uint64_t{1} << 60;
    EXPECT_FALSE(decode(ByteBuilder().header().u64(huge).b));
    EXPECT_FALSE(decode(ByteBuilder().header().u64(~std::uint64_t{0}).zeros(64).b));
    // A string length and a list count inside a node.
    EXPECT_FALSE(decode(ByteBuilder().header().u64(1).u64(huge).b));
    EXPECT_FALSE(decode(ByteBuilder().header().u64(1).str("k").str("k").str("F").str("f").str("m")
                            .zeros(4).u8(1).u64(huge).zeros(64).b));
    // A count the remaining bytes could only just not hold.
    EXPECT_FALSE(decode(ByteBuilder().header().zeros(64).u64(5).zeros(16 * 5 - 1).b));
    EXPECT_TRUE(decode(ByteBuilder().header().zeros(64).u64(5).zeros(16 * 5).b));
}

TEST(SnapshotDecode, RandomCorruptionsNeverCrashAndReencodeConsistently) {
    RandomEngine gen(99);
    const Bytes good = encode(gen.engine(4));
    std::mt19937_64 rng(1234);
    int accepted = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        Bytes b = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; ++f) {
            const std::size_t at = rng() % b.size();
            switch (rng() % 3) {
                case 0: b[at] = static_cast<std::uint8_t>(rng()); break;
                case 1: b[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
                default: b.resize(at + 1); break;
            }
        }
        auto r = decode(b);
        // Decoding the node records on a second thread accepts the same bytes, with the same
        // record and length.
        std::size_t used_one = 0, used_two = 0;
        auto one = decode_snapshot(b, &used_one, 1), two = decode_snapshot(b, &used_two, 2);
        ASSERT_EQ(one.has_value(), r.has_value());
        ASSERT_EQ(two.has_value(), r.has_value()) << "iteration " << iter;
        if (!r) continue;
        EXPECT_TRUE(*two == *r);
        EXPECT_EQ(used_two, used_one);
        ++accepted;
        auto again = encode_snapshot(*r);
        ASSERT_TRUE(again.ok());
        auto twice = decode(*again);
        ASSERT_TRUE(twice);
        EXPECT_EQ(*twice, *r);
    }
    EXPECT_GT(accepted, 0);  // some flips land in text or numbers and stay valid
}
