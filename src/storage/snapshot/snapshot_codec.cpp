// Encoding and decoding of the snapshot bytes.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "storage/snapshot/snapshot.hpp"
#include "util/hex.hpp"
#include "util/prefetch.hpp"
#include "util/two_threads.hpp"
#include "util/utf8.hpp"

namespace corvane {

namespace {

using Strings = std::vector<std::string>;

template <class T>
inline T to_le(T v) {
    if constexpr (std::endian::native == std::endian::big) {
        if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(v));
        if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(v));
    }
    return v;
}

// ---- sizing ----------------------------------------------------------------------------

inline std::size_t size_of(std::string_view s) { return 8 + s.size(); }

inline std::size_t size_of(const Strings& v) {
    std::size_t n = 8;
    for (const auto& s : v) n += size_of(s);
    return n;
}

template <class T>
inline std::size_t size_of_opt(const std::optional<T>& o, std::size_t fixed = 0) {
    if (!o) return 1;
    if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Strings>) {
        return 1 + size_of(*o);
    } else {
        return 1 + fixed;
    }
}

std::size_t size_of(const NodeMeta& m) {
    return size_of(m.node_id) + size_of(m.node_type) + size_of(m.name) + size_of(m.file_path) +
           size_of_opt(m.signature) + size_of_opt(m.docstring) + size_of_opt(m.lines_start, 4) +
           size_of_opt(m.lines_end, 4) + size_of_opt(m.returns) + size_of_opt(m.calls) +
           size_of_opt(m.django_relations_json) + size_of_opt(m.calls_count, 4) +
           size_of_opt(m.callers_count, 4) + size_of_opt(m.lines_count, 4) + size_of_opt(m.is_async, 1) +
           size_of_opt(m.is_generator, 1) + size_of_opt(m.param_count, 4) + size_of_opt(m.is_exported, 1) +
           size_of_opt(m.blast_radius_score, 4) + size_of_opt(m.extra_json);
}

// A record's own memory, and what its string lists point to: what sizing reads of it.
constexpr auto prefetch_record = [](const auto& kv) { prefetch_object(kv); };
constexpr auto prefetch_record_lists = [](const auto& kv) {
    const NodeMeta& m = kv.second;
    if (m.returns) prefetch(m.returns->data());
    if (m.calls) prefetch(m.calls->data());
};
// Every string a record holds, for writing it.
constexpr auto prefetch_record_texts = [](const auto& kv) {
    const NodeMeta& m = kv.second;
    prefetch_text(kv.first);
    for (const std::string* s : {&m.node_id, &m.node_type, &m.name, &m.file_path}) prefetch_text(*s);
    for (const auto* o : {&m.signature, &m.docstring, &m.django_relations_json, &m.extra_json}) {
        if (*o) prefetch_text(**o);
    }
    prefetch_record_lists(kv);
};

constexpr auto prefetch_texts = [](const std::string& s) { prefetch_text(s); };

// Every id of the identity table as the snapshot writes a string (its length in 8 bytes,
// then its bytes), in handle order in one buffer, each checked as UTF-8 once: the edge sets
// and the identity table name 10^6 ids many times over, and writing one then copies a run of
// this buffer instead of reading the id's entry and then its text. A freed handle has an
// empty text.
class IdTexts {
public:
    explicit IdTexts(const IdentityTable& ids) : offset_(ids.handle_bound() + 1) {
        const std::size_t n = ids.handle_bound();
        std::size_t total = 0;
        for (std::size_t h = 0; h < n; ++h) {
            offset_[h] = total;
            total += 8 + ids.id(static_cast<NodeHandle>(h)).size();
        }
        offset_[n] = total;
        text_.resize(total);
        for (std::size_t h = 0; h < n; ++h) {
            if (h + kNearAhead < n) ids.prefetch_id_text(static_cast<NodeHandle>(h + kNearAhead));
            const std::string& id = ids.id(static_cast<NodeHandle>(h));
            const auto* data = reinterpret_cast<const std::uint8_t*>(id.data());
            ok_ = ok_ && is_valid_utf8(data, id.size());
            const std::uint64_t len = to_le(static_cast<std::uint64_t>(id.size()));
            std::memcpy(&text_[offset_[h]], &len, sizeof len);
            if (!id.empty()) std::memcpy(&text_[offset_[h] + 8], data, id.size());
        }
    }
    // Every id is valid UTF-8.
    bool ok() const { return ok_; }
    // The encoded string of handle h: its bytes and their count.
    const std::uint8_t* data(NodeHandle h) const { return text_.data() + offset_[h]; }
    std::size_t size(NodeHandle h) const { return offset_[h + 1] - offset_[h]; }
    void prefetch(NodeHandle h) const { corvane::prefetch(&offset_[h]); }
    void prefetch_text(NodeHandle h) const { corvane::prefetch(data(h)); }

private:
    std::vector<std::size_t> offset_;
    ByteBuffer text_;
    bool ok_ = true;
};

// ---- writing ---------------------------------------------------------------------------

// Writes into a buffer the sizing pass made exactly large enough; the only check left is
// the UTF-8 of each string that did not come from the identity table.
class Writer {
public:
    explicit Writer(std::uint8_t* p) : p_(p) {}
    bool ok() const { return ok_; }
    const std::uint8_t* position() const { return p_; }

    void u8(std::uint8_t v) { *p_++ = v; }
    void u32(std::uint32_t v) { raw(to_le(v)); }
    void u64(std::uint64_t v) { raw(to_le(v)); }
    void boolean(bool v) { u8(v ? 1 : 0); }

    void str(std::string_view s) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(s.data());
        if (!is_valid_utf8(data, s.size())) ok_ = false;
        u64(s.size());
        if (!s.empty()) std::memcpy(p_, data, s.size());
        p_ += s.size();
    }

    void strings(const Strings& v) {
        u64(v.size());
        walk_ahead(v, kNoPrefetch, prefetch_texts, [this](const std::string& s) { str(s); });
    }

    template <class T, class F>
    void opt(const std::optional<T>& o, F&& put) {
        if (!o) {
            u8(0);
            return;
        }
        u8(1);
        put(*o);
    }
    void opt_u32(const std::optional<std::uint32_t>& o) { opt(o, [this](std::uint32_t v) { u32(v); }); }
    void opt_bool(const std::optional<bool>& o) { opt(o, [this](bool v) { boolean(v); }); }
    void opt_str(const std::optional<std::string>& o) { opt(o, [this](const std::string& v) { str(v); }); }
    void opt_strings(const std::optional<Strings>& o) { opt(o, [this](const Strings& v) { strings(v); }); }

    void meta(const NodeMeta& m) {
        str(m.node_id);
        str(m.node_type);
        str(m.name);
        str(m.file_path);
        opt_str(m.signature);
        opt_str(m.docstring);
        opt_u32(m.lines_start);
        opt_u32(m.lines_end);
        opt_strings(m.returns);
        opt_strings(m.calls);
        opt_str(m.django_relations_json);
        opt_u32(m.calls_count);
        opt_u32(m.callers_count);
        opt_u32(m.lines_count);
        opt_bool(m.is_async);
        opt_bool(m.is_generator);
        opt_u32(m.param_count);
        opt_bool(m.is_exported);
        opt_u32(m.blast_radius_score);
        opt_str(m.extra_json);
    }

    // An id, copied from `texts` (checked there).
    void id(const IdTexts& texts, NodeHandle h) {
        const std::size_t n = texts.size(h);
        std::memcpy(p_, texts.data(h), n);
        p_ += n;
    }

    // A hash as its 64 lowercase hexadecimal digits.
    void hex(const Hash32& hash) {
        u64(64);
        encode_hex32_into(hash, reinterpret_cast<char*>(p_));
        p_ += 64;
    }

private:
    template <class T>
    void raw(T v) {
        std::memcpy(p_, &v, sizeof v);
        p_ += sizeof v;
    }

    std::uint8_t* p_;
    bool ok_ = true;
};

// ---- pieces ----------------------------------------------------------------------------

// One run of a section's elements (the first run of a section also writes its count),
// written at an offset the sizing pass worked out.
struct Piece {
    std::size_t size = 0;
    std::function<void(Writer&)> write;
};

// Cuts the elements [first, last) into pieces of about piece_bytes. `count`, when given, is
// written first; size(e) is an element's encoded size; run(w, first, last) writes a run.
// Far and near prefetch as in walk_ahead.
template <class It, class Far, class Near, class Size, class Run>
void cut(std::vector<Piece>& out, std::optional<std::uint64_t> count, It first, It last, std::size_t piece_bytes,
         Far&& far, Near&& near, Size&& size, Run run) {
    std::size_t bytes = count ? 8 : 0;
    It start = first;
    auto close = [&](It end) {
        out.push_back(Piece{bytes, [count, start, end, run](Writer& w) {
                                if (count) w.u64(*count);
                                run(w, start, end);
                            }});
        count.reset();
        start = end;
        bytes = 0;
    };
    walk_ahead_at(first, last, far, near, [&](It it) {
        bytes += size(*it);
        if (bytes >= piece_bytes) close(std::next(it));
    });
    if (bytes > 0 || count) close(last);
}

// task(i) once for each i below n on this thread and up to workers - 1 more, taking them in
// order; returns when all are done or one returned false. An exception of a task reaches
// the caller after the other threads have stopped.
template <class Task>
void run_tasks(std::size_t n, unsigned workers, Task&& task) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr failed;
    std::mutex failed_lock;
    auto work = [&] {
        try {
            for (std::size_t i; (i = next.fetch_add(1)) < n;) {
                if (!task(i)) next = n;
            }
        } catch (...) {
            std::lock_guard guard(failed_lock);
            if (!failed) failed = std::current_exception();
            next = n;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned w = 1; w < workers && w < n; ++w) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads: the others take every task
        }
    }
    work();
    for (std::thread& t : threads) t.join();
    if (failed) std::rethrow_exception(failed);
}

// The handles of the identity table in order, as an iterator over them.
struct HandleIterator {
    using iterator_category = std::forward_iterator_tag;
    using value_type = NodeHandle;
    using difference_type = std::ptrdiff_t;
    using pointer = const NodeHandle*;
    using reference = NodeHandle;

    NodeHandle h = 0;
    NodeHandle operator*() const { return h; }
    HandleIterator& operator++() {
        ++h;
        return *this;
    }
    HandleIterator operator++(int) { return HandleIterator{h++}; }
    bool operator==(const HandleIterator&) const = default;
};

// Below this many records, identities and edges a second thread costs more than it saves.
constexpr std::size_t kParallelElements = std::size_t{1} << 15;

// The payload's parts in file order: nodes, name_index, file_index, the identity table
// (its hashes, then its back-mappings), then the four edge sets.
constexpr std::size_t kParts = 9;

}  // namespace

struct SnapshotEncoder::Plan {
    Plan(const MetadataEngine& r, unsigned workers) : record(r), workers(workers), texts(r.identities) {}

    // The pieces of part k.
    void cut_part(std::size_t k, std::vector<Piece>& out, std::size_t piece_bytes);

    const MetadataEngine& record;
    const unsigned workers;
    const IdTexts texts;
    std::array<std::vector<PairSet::Key>, 4> pairs;  // of each edge set, grouped by first id
    std::vector<Piece> pieces;                       // in file order
    std::vector<std::size_t> offset;                 // where each piece starts, then the end
};

void SnapshotEncoder::Plan::cut_part(std::size_t k, std::vector<Piece>& out, std::size_t piece_bytes) {
    const MetadataEngine& r = record;
    const IdTexts& t = texts;
    switch (k) {
        case 0: {
            using It = StableStringMap<NodeMeta>::const_iterator;
            cut(out, r.nodes.size(), r.nodes.begin(), r.nodes.end(), piece_bytes, prefetch_record,
                prefetch_record_lists, [](const auto& kv) { return size_of(kv.first) + size_of(kv.second); },
                [](Writer& w, It first, It last) {
                    walk_ahead(first, last, prefetch_record, prefetch_record_texts, [&](const auto& kv) {
                        w.str(kv.first);
                        w.meta(kv.second);
                    });
                });
            return;
        }
        case 1:
        case 2: {
            // Each key with its ids, as the index holds them.
            const IdIndex& index = k == 1 ? r.name_index : r.file_index;
            using It = IdIndex::Map::const_iterator;
            cut(out, index.size(), index.entries().begin(), index.entries().end(), piece_bytes, kNoPrefetch,
                kNoPrefetch,
                [&t](const auto& entry) {
                    std::size_t n = size_of(entry.first) + 8;
                    for (NodeHandle h : entry.second) n += t.size(h);
                    return n;
                },
                [&t](Writer& w, It first, It last) {
                    for (It it = first; it != last; ++it) {
                        w.str(it->first);
                        w.u64(it->second.size());
                        for (NodeHandle h : it->second) w.id(t, h);
                    }
                });
            return;
        }
        case 3: {
            // Each id with a stored hash, in handle order, with the hash's text.
            const IdentityTable& ids = r.identities;
            using It = HandleIterator;
            cut(out, ids.hash_count(), It{0}, It{static_cast<NodeHandle>(ids.handle_bound())}, piece_bytes,
                kNoPrefetch, kNoPrefetch,
                [&](NodeHandle h) -> std::size_t {
                    if (!ids.has_stored(h)) return 0;
                    const std::string* odd = ids.odd_hash_text(h);
                    return t.size(h) + 8 + (odd ? odd->size() : 64);
                },
                [&ids, &t](Writer& w, It first, It last) {
                    walk_ahead(first, last, [&t](NodeHandle h) { t.prefetch(h); },
                               [&t](NodeHandle h) { t.prefetch_text(h); },
                               [&](NodeHandle h) {
                                   if (!ids.has_stored(h)) return;
                                   w.id(t, h);
                                   if (const std::string* odd = ids.odd_hash_text(h)) {
                                       w.str(*odd);
                                   } else {
                                       w.hex(ids.stored_hash(h));
                                   }
                               });
                });
            return;
        }
        case 4: {
            // Each back-mapping: the hash's text, then the id it names; those under any other
            // key last.
            const IdentityTable& ids = r.identities;
            const auto& back = ids.back_mappings();
            using It = IdentityTable::BackMappings::const_iterator;
            auto far = [&t](const auto& kv) { t.prefetch(kv.second); };
            auto near = [&t](const auto& kv) { t.prefetch_text(kv.second); };
            cut(out, ids.back_mapping_count(), back.begin(), back.end(), piece_bytes, far, kNoPrefetch,
                [&t](const auto& kv) { return 8 + 64 + t.size(kv.second); },
                [&t, far, near](Writer& w, It first, It last) {
                    walk_ahead(first, last, far, near, [&](const auto& kv) {
                        w.hex(kv.first);
                        w.id(t, kv.second);
                    });
                });
            const auto& odd = ids.odd_back_mappings();
            if (!odd.empty()) {
                std::size_t n = 0;
                for (const auto& [text, id] : odd) n += size_of(text) + size_of(id);
                out.push_back(Piece{n, [&odd](Writer& w) {
                                        for (const auto& [text, id] : odd) {
                                            w.str(text);
                                            w.str(id);
                                        }
                                    }});
            }
            return;
        }
        default: {
            // Each pair's ids, grouped by first id: a reader then looks each node's id up once
            // rather than once per pair, and the first ids' texts are read in order.
            std::vector<PairSet::Key>& keys = pairs[k - 5] = all_edge_sets(r)[k - 5]->keys_by_first();
            using It = std::vector<PairSet::Key>::const_iterator;
            auto far = [&t](PairSet::Key key) {
                t.prefetch(PairSet::from_of(key));
                t.prefetch(PairSet::to_of(key));
            };
            auto near = [&t](PairSet::Key key) {
                t.prefetch_text(PairSet::from_of(key));
                t.prefetch_text(PairSet::to_of(key));
            };
            cut(out, keys.size(), keys.cbegin(), keys.cend(), piece_bytes, far, kNoPrefetch,
                [&t](PairSet::Key key) { return t.size(PairSet::from_of(key)) + t.size(PairSet::to_of(key)); },
                [&t, far, near](Writer& w, It first, It last) {
                    walk_ahead(first, last, far, near, [&](PairSet::Key key) {
                        w.id(t, PairSet::from_of(key));
                        w.id(t, PairSet::to_of(key));
                    });
                });
        }
    }
}

SnapshotEncoder::SnapshotEncoder(const MetadataEngine& r, unsigned workers, std::size_t piece_bytes)
    : plan_(std::make_unique<Plan>(r, workers)) {
    for (const PairSet* set : all_edge_sets(r)) {
        if (&set->table() != &r.identities) throw std::logic_error("edge set bound to another identity table");
    }
    std::array<std::vector<Piece>, kParts> parts;
    run_tasks(kParts, workers, [&](std::size_t k) {
        plan_->cut_part(k, parts[k], std::max<std::size_t>(piece_bytes, 1));
        return true;
    });
    std::size_t at = kSnapshotHeaderSize;
    for (auto& part : parts) {
        for (Piece& piece : part) {
            plan_->offset.push_back(at);
            at += piece.size;
            plan_->pieces.push_back(std::move(piece));
        }
    }
    plan_->offset.push_back(at);
}

SnapshotEncoder::~SnapshotEncoder() = default;

std::size_t SnapshotEncoder::size() const { return plan_->offset.back(); }

namespace {

// Writes one piece at `at`; false when a string was not valid UTF-8.
bool write_piece(const Piece& piece, std::uint8_t* at) {
    Writer w(at);
    piece.write(w);
    // A piece that does not end where its size said would have written over the next one: a
    // fault of this file, never of the record.
    if (w.position() != at + piece.size) throw std::logic_error("snapshot piece size mismatch");
    return w.ok();
}

const Error kNotUtf8{ErrorKind::Io, "snapshot string is not valid UTF-8"};

// The header, then each piece once encoded into one of a few slots, freed when the writer
// asks for the run after it. Piece i takes slot i % slots: it waits until the piece that
// held that slot was written. The writer waits for the lowest piece not given yet, which is
// never waiting for a slot (every piece below it was written), so the two sides cannot wait
// on each other.
class PieceRing final : public ByteRuns {
public:
    PieceRing(const std::vector<Piece>& pieces, std::size_t slots)
        : pieces_(pieces), slot_(std::max<std::size_t>(slots, 1)), done_(pieces.size(), 0) {
        std::memcpy(header_, kSnapshotMagic, sizeof kSnapshotMagic);
        header_[4] = kSnapshotVersion;
    }

    // Where piece i is to be written; null once the ring stopped.
    std::uint8_t* claim(std::size_t i) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || i < released_ + slot_.size(); });
        if (stopped_) return nullptr;
        ByteBuffer& slot = slot_[i % slot_.size()];
        if (slot.size() < pieces_[i].size) slot.resize(pieces_[i].size);
        return slot.data();
    }
    void done(std::size_t i) {
        {
            std::lock_guard lock(mutex_);
            done_[i] = 1;
        }
        changed_.notify_all();
    }
    // Nothing more will be encoded or written: both sides stop waiting.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

    std::optional<std::span<const std::uint8_t>> next() override {
        std::unique_lock lock(mutex_);
        if (!header_given_) {
            header_given_ = true;
            return std::span<const std::uint8_t>(header_);
        }
        if (released_ < given_) {
            released_ = given_;  // the run given last was written
            changed_.notify_all();
        }
        if (given_ == pieces_.size()) return std::span<const std::uint8_t>();
        changed_.wait(lock, [&] { return stopped_ || done_[given_] != 0; });
        if (stopped_) return std::nullopt;
        const std::size_t i = given_++;
        return std::span<const std::uint8_t>(slot_[i % slot_.size()].data(), pieces_[i].size);
    }

private:
    const std::vector<Piece>& pieces_;
    std::vector<ByteBuffer> slot_;
    std::vector<char> done_;
    std::uint8_t header_[kSnapshotHeaderSize];
    std::mutex mutex_;
    std::condition_variable changed_;
    bool header_given_ = false;
    std::size_t given_ = 0;     // pieces handed to the writer
    std::size_t released_ = 0;  // pieces written, their slots free
    bool stopped_ = false;
};

}  // namespace

Status SnapshotEncoder::write(std::uint8_t* out) const {
    const Plan& p = *plan_;
    if (!p.texts.ok()) return kNotUtf8;
    std::memcpy(out, kSnapshotMagic, sizeof kSnapshotMagic);
    out[4] = kSnapshotVersion;
    std::atomic<bool> ok{true};
    run_tasks(p.pieces.size(), p.workers, [&](std::size_t i) {
        if (write_piece(p.pieces[i], out + p.offset[i])) return true;
        ok = false;
        return false;
    });
    if (!ok) return kNotUtf8;
    return {};
}

Status SnapshotEncoder::stream(const std::function<Status(ByteRuns&)>& consume, std::size_t slots) const {
    const Plan& p = *plan_;
    if (!p.texts.ok()) return kNotUtf8;
    PieceRing ring(p.pieces, slots);
    Status consumed;
    std::thread writer;
    try {
        writer = std::thread([&] {
            consumed = consume(ring);
            ring.stop();  // the encoding need not go on for a writer that is done
        });
    } catch (const std::system_error&) {
        // No thread to spare: the whole buffer, then the writer on this thread.
        ByteBuffer out(size());
        if (Status encoded = write(out.data()); !encoded) return encoded;
        WholeRun whole(out);
        return consume(whole);
    }
    std::atomic<bool> ok{true};
    try {
        run_tasks(p.pieces.size(), p.workers, [&](std::size_t i) {
            std::uint8_t* at = ring.claim(i);
            if (at == nullptr) return false;
            if (!write_piece(p.pieces[i], at)) {
                ok = false;
                ring.stop();
                return false;
            }
            ring.done(i);
            return true;
        });
    } catch (...) {
        ring.stop();
        writer.join();
        throw;
    }
    writer.join();
    if (!ok) return kNotUtf8;
    return consumed;
}

namespace {

// ---- reading ---------------------------------------------------------------------------

// Smallest encoded size of one element, used to reject a count the remaining bytes cannot
// hold before any allocation or loop depends on it.
constexpr std::size_t kMinString = 8;
constexpr std::size_t kMinMeta = 4 * kMinString + 16;
constexpr std::size_t kReserveBudget = std::size_t{1} << 20;

template <class Container>
void reserve_bounded(Container& c, std::uint64_t count) {
    constexpr std::size_t cap = kReserveBudget / sizeof(typename Container::value_type);
    c.reserve(static_cast<std::size_t>(count < cap ? count : cap));
}

class Reader {
public:
    Reader(const std::uint8_t* p, const std::uint8_t* end) : p_(p), end_(end) {}
    const std::uint8_t* position() const { return p_; }

    bool u8(std::uint8_t& v) {
        if (p_ == end_) return false;
        v = *p_++;
        return true;
    }
    bool u32(std::uint32_t& v) { return raw(v); }
    bool u64(std::uint64_t& v) { return raw(v); }

    bool boolean(bool& v) {
        std::uint8_t b;
        if (!u8(b) || b > 1) return false;
        v = b == 1;
        return true;
    }

    // An element count that the remaining bytes could actually hold.
    bool count(std::uint64_t& n, std::size_t min_element) {
        return u64(n) && n <= remaining() / min_element;
    }

    // Whether n strings follow, judged by their lengths alone. A count that passes is one the
    // bytes really hold, so reserving room for it allocates nothing for a forged count (and,
    // if the elements repeat, at most a few bytes of table per byte of the section); the
    // table then never rehashes while it fills, which at 10^6 pairs would hash every pair
    // twice more. A count that fails is a section the reading would reject anyway.
    bool strings_follow(std::uint64_t n) const {
        const std::uint8_t* p = p_;
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t len;
            if (static_cast<std::size_t>(end_ - p) < sizeof len) return false;
            std::memcpy(&len, p, sizeof len);
            len = to_le(len);
            p += sizeof len;
            if (len > static_cast<std::size_t>(end_ - p)) return false;
            p += len;
        }
        return true;
    }

    // A string left where it is in the input.
    bool view(std::string_view& out) {
        std::uint64_t len;
        if (!u64(len) || len > remaining()) return false;
        if (!is_valid_utf8(p_, static_cast<std::size_t>(len))) return false;
        out = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(len));
        p_ += len;
        return true;
    }

    bool str(std::string& out) {
        std::string_view text;
        if (!view(text)) return false;
        out.assign(text);
        return true;
    }

    bool strings(Strings& v) {
        std::uint64_t n;
        if (!count(n, kMinString)) return false;
        reserve_bounded(v, n);
        for (std::uint64_t i = 0; i < n; ++i) {
            if (!str(v.emplace_back())) return false;
        }
        return true;
    }

    template <class T, class F>
    bool opt(std::optional<T>& o, F&& get) {
        std::uint8_t tag;
        if (!u8(tag) || tag > 1) return false;
        if (tag == 0) {
            o.reset();
            return true;
        }
        return get(o.emplace());
    }
    bool opt_u32(std::optional<std::uint32_t>& o) { return opt(o, [this](std::uint32_t& v) { return u32(v); }); }
    bool opt_bool(std::optional<bool>& o) { return opt(o, [this](bool& v) { return boolean(v); }); }
    bool opt_str(std::optional<std::string>& o) { return opt(o, [this](std::string& v) { return str(v); }); }
    bool opt_strings(std::optional<Strings>& o) { return opt(o, [this](Strings& v) { return strings(v); }); }

    // The fields of a node record in their order, each taken by `in`: this reader, or a
    // Skipper that steps over them.
    template <class In>
    static bool meta_fields(In& in, NodeMeta& m) {
        return in.str(m.node_id) && in.str(m.node_type) && in.str(m.name) && in.str(m.file_path) &&
               in.opt_str(m.signature) && in.opt_str(m.docstring) && in.opt_u32(m.lines_start) &&
               in.opt_u32(m.lines_end) && in.opt_strings(m.returns) && in.opt_strings(m.calls) &&
               in.opt_str(m.django_relations_json) && in.opt_u32(m.calls_count) && in.opt_u32(m.callers_count) &&
               in.opt_u32(m.lines_count) && in.opt_bool(m.is_async) && in.opt_bool(m.is_generator) &&
               in.opt_u32(m.param_count) && in.opt_bool(m.is_exported) && in.opt_u32(m.blast_radius_score) &&
               in.opt_str(m.extra_json);
    }
    bool meta(NodeMeta& m) { return meta_fields(*this, m); }

    bool value(NodeMeta& m) { return meta(m); }

    static constexpr std::size_t min_value(const NodeMeta*) { return kMinMeta; }

    // A later entry with the same key replaces the earlier one.
    template <class Map>
    bool map(Map& m) {
        using V = typename Map::mapped_type;
        std::uint64_t n;
        if (!count(n, kMinString + min_value(static_cast<const V*>(nullptr)))) return false;
        reserve_bounded(m, n);
        std::string key;
        V value_read;
        for (std::uint64_t i = 0; i < n; ++i) {
            key.clear();
            value_read = V{};
            if (!str(key) || !value(value_read)) return false;
            m.insert_or_assign(std::move(key), std::move(value_read));
        }
        return true;
    }

    // An index; a later entry with the same key replaces the earlier one. The ids are read in
    // place and held in the record's table.
    bool index(IdIndex& index) {
        std::uint64_t n;
        if (!count(n, 2 * kMinString)) return false;
        constexpr std::size_t cap = kReserveBudget / sizeof(IdIndex::Map::value_type);
        index.reserve(static_cast<std::size_t>(n < cap ? n : cap));
        // A block of entries at a time: their keys and ids read in place, the ids hashed, and
        // the index's and the table's slots fetched before any entry is applied.
        constexpr std::size_t kBlock = 32;
        struct Entry {
            std::string_view key;
            std::size_t first, count;
        };
        std::vector<Entry> entries;
        std::vector<std::string_view> ids;
        std::vector<std::size_t> hashes;
        const IdentityTable& table = index.table();
        for (std::uint64_t done = 0; done < n;) {
            const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, n - done));
            entries.clear();
            ids.clear();
            hashes.clear();
            for (std::size_t i = 0; i < block; ++i) {
                Entry& e = entries.emplace_back();
                std::uint64_t m;
                if (!view(e.key) || !count(m, kMinString)) return false;
                index.prefetch(e.key);
                e.first = ids.size();
                e.count = static_cast<std::size_t>(m);
                for (std::uint64_t k = 0; k < m; ++k) {
                    if (!view(ids.emplace_back())) return false;
                    hashes.push_back(StringHash{}(ids.back()));
                    table.prefetch_find(ids.back());
                }
            }
            for (const Entry& e : entries) {
                index.assign(std::string(e.key), std::span(ids).subspan(e.first, e.count),
                             std::span<const std::size_t>(hashes).subspan(e.first, e.count));
            }
            done += block;
        }
        return true;
    }

    // The identity table's two maps; a later entry with the same key replaces the earlier one.
    // Both are read a block of entries at a time: the entries' strings in place, the ids
    // hashed and the table's slots for them fetched before any entry is applied.
    bool identities(IdentityTable& ids) {
        std::uint64_t n;
        if (!count(n, 2 * kMinString) || !strings_follow(2 * n)) return false;
        ids.reserve(static_cast<std::size_t>(n));
        auto restore_hash = [&](std::string_view id, std::size_t id_hash, std::string_view hash_text) {
            ids.restore_hash(id, id_hash, hash_text);
        };
        if (!entry_blocks(n, ids, 0, restore_hash)) return false;
        if (!count(n, 2 * kMinString) || !strings_follow(2 * n)) return false;
        auto restore_back = [&](std::string_view id, std::size_t id_hash, std::string_view hash_text) {
            ids.restore_back_mapping(hash_text, id, id_hash);
        };
        return entry_blocks(n, ids, 1, restore_back);
    }

    // Each end is read in place and held in the set's table once: no string per pair. The
    // ids of a block of pairs are hashed and their table slots fetched before any is held.
    bool pairs(PairSet& set) {
        std::uint64_t n;
        if (!count(n, 2 * kMinString) || !strings_follow(2 * n)) return false;
        set.reserve(static_cast<std::size_t>(n));
        IdentityTable& ids = set.table();
        constexpr std::size_t kBlock = 64;
        std::array<std::string_view, 2 * kBlock> ends;
        std::array<std::size_t, 2 * kBlock> hashes;
        std::array<NodeHandle, 2 * kBlock> handles;
        std::array<bool, kBlock> repeated;
        NodeHandle last_from = 0;
        std::string_view last_from_text;
        for (std::uint64_t done = 0; done < n;) {
            const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, n - done));
            for (std::size_t i = 0; i < 2 * block; ++i) {
                if (!view(ends[i])) return false;
                // A pair whose first id is the one before's: no lookup (the writer puts
                // a node's pairs together).
                if (i % 2 == 0 && i >= 2 && ends[i] == ends[i - 2]) continue;
                hashes[i] = StringHash{}(ends[i]);
                ids.prefetch_find(ends[i]);
            }
            // Held while inserted; the set then holds them itself (or already did), so a
            // first id stays held for the pairs after it that repeat it.
            for (std::size_t i = 0; i < block; ++i) {
                repeated[i] = (i > 0 || done > 0) && ends[2 * i] == last_from_text;
                const NodeHandle from = repeated[i] ? last_from : ids.hold(ends[2 * i], hashes[2 * i]);
                handles[2 * i] = from;
                handles[2 * i + 1] = ids.hold(ends[2 * i + 1], hashes[2 * i + 1]);
                set.prefetch(from, handles[2 * i + 1]);
                last_from = from;
                last_from_text = ends[2 * i];
            }
            for (std::size_t i = 0; i < block; ++i) {
                set.insert(handles[2 * i], handles[2 * i + 1]);
                if (!repeated[i]) ids.release(handles[2 * i]);
                ids.release(handles[2 * i + 1]);
            }
            done += block;
        }
        return true;
    }

protected:
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    // Steps over n bytes the caller has checked are there.
    void advance(std::size_t n) { p_ += n; }

private:
    // n entries of two strings, the id at `id_at` (0 or 1) and a hash text at the other, each
    // applied as apply(id, its StringHash, hash text).
    template <class Apply>
    bool entry_blocks(std::uint64_t n, const IdentityTable& ids, std::size_t id_at, Apply apply) {
        constexpr std::size_t kBlock = 64;
        std::array<std::string_view, 2 * kBlock> texts;
        std::array<std::size_t, kBlock> hashes;
        for (std::uint64_t done = 0; done < n;) {
            const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, n - done));
            for (std::size_t i = 0; i < block; ++i) {
                if (!view(texts[2 * i]) || !view(texts[2 * i + 1])) return false;
                const std::string_view id = texts[2 * i + id_at], hash_text = texts[2 * i + 1 - id_at];
                hashes[i] = StringHash{}(id);
                ids.prefetch_find(id);
                if (auto decoded = decode_hex32(hash_text)) ids.prefetch_back_mapping(*decoded);
            }
            for (std::size_t i = 0; i < block; ++i) {
                apply(texts[2 * i + id_at], hashes[i], texts[2 * i + 1 - id_at]);
            }
            done += block;
        }
        return true;
    }

    template <class T>
    bool raw(T& v) {
        if (remaining() < sizeof v) return false;
        std::memcpy(&v, p_, sizeof v);
        v = to_le(v);
        p_ += sizeof v;
        return true;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Steps over the node records the way Reader reads them, by their lengths and tags alone (no
// text is checked or kept): where the section ends, so that the records can be decoded beside
// the sections after them. Every check it makes the reader makes too: on bytes the reader
// accepts it ends where the reader ends, and bytes it rejects the reader rejects.
class Skipper : public Reader {
public:
    using Reader::Reader;

    bool node_map() {
        std::uint64_t n;
        if (!count(n, kMinString + kMinMeta)) return false;
        std::string key;
        NodeMeta scratch;  // never written: the skipping methods take no value
        for (std::uint64_t i = 0; i < n; ++i) {
            if (!str(key) || !Reader::meta_fields(*this, scratch)) return false;
        }
        return true;
    }

    // The reader's field methods, stepping over what they would read.
    bool str(std::string&) { return skip_string(); }
    bool opt_str(std::optional<std::string>&) { return present_then([this] { return skip_string(); }); }
    bool opt_u32(std::optional<std::uint32_t>&) {
        std::uint32_t v;
        return present_then([&] { return u32(v); });
    }
    bool opt_bool(std::optional<bool>&) {
        std::uint8_t b;
        return present_then([&] { return u8(b); });
    }
    bool opt_strings(std::optional<Strings>&) {
        return present_then([this] {
            std::uint64_t n;
            if (!count(n, kMinString)) return false;
            for (std::uint64_t i = 0; i < n; ++i) {
                if (!skip_string()) return false;
            }
            return true;
        });
    }

private:
    bool skip_string() {
        std::uint64_t len;
        if (!u64(len) || len > remaining()) return false;
        advance(static_cast<std::size_t>(len));
        return true;
    }
    // An optional field: its tag, then what inner steps over when the tag says it is there.
    template <class F>
    bool present_then(F&& inner) {
        std::uint8_t tag;
        return u8(tag) && tag <= 1 && (tag == 0 || inner());
    }
};

// Below this many bytes a second thread costs more than it saves.
constexpr std::size_t kParallelDecodeBytes = std::size_t{1} << 23;

}  // namespace

Result<ByteBuffer> encode_snapshot(const MetadataEngine& r, unsigned workers) {
    const SnapshotEncoder encoder(r, workers);
    ByteBuffer out(encoder.size());
    if (Status written = encoder.write(out.data()); !written) return written.error();
    return out;
}

unsigned snapshot_workers(const MetadataEngine& r) {
    const std::size_t elements = r.nodes.size() + r.identities.hash_count() + r.resolved_call_edges.size() +
                                 r.execution_edges.size() + r.generated_execution_edges.size() +
                                 r.structural_edges.size();
    return elements >= kParallelElements && std::thread::hardware_concurrency() > 1 ? 2 : 1;
}

Result<ByteBuffer> encode_snapshot(const MetadataEngine& r) { return encode_snapshot(r, snapshot_workers(r)); }

std::optional<MetadataEngine> decode_snapshot(std::span<const std::uint8_t> bytes, std::size_t* used) {
    return decode_snapshot(bytes, used, bytes.size() >= kParallelDecodeBytes ? 2 : 1);
}

std::optional<MetadataEngine> decode_snapshot(std::span<const std::uint8_t> bytes, std::size_t* used,
                                              unsigned workers) {
    if (bytes.size() < kSnapshotHeaderSize) return std::nullopt;
    if (std::memcmp(bytes.data(), kSnapshotMagic, sizeof kSnapshotMagic) != 0) return std::nullopt;
    if (bytes[4] != kSnapshotVersion) return std::nullopt;
    const std::uint8_t* const begin = bytes.data() + kSnapshotHeaderSize;
    const std::uint8_t* const end = bytes.data() + bytes.size();
    // Running out of memory here is not damage: it propagates (a fatal error for the caller),
    // because starting empty would let the next save replace a good snapshot.
    MetadataEngine r;
    // The node records need nothing of the sections after them: with two workers they are
    // decoded on a second thread, the sections after them from where the skipper ends. Bytes
    // the skipper cannot step over the reader would reject.
    const std::uint8_t* nodes_end = nullptr;
    if (workers > 1) {
        Skipper skip(begin, end);
        if (!skip.node_map()) return std::nullopt;
        nodes_end = skip.position();
    }
    Reader in(nodes_end != nullptr ? nodes_end : begin, end);
    auto rest = [&] {
        bool ok = in.index(r.name_index) && in.index(r.file_index) && in.identities(r.identities);
        for (PairSet* set : all_edge_sets(r)) ok = ok && in.pairs(*set);
        return ok;
    };
    bool ok = false;
    if (nodes_end == nullptr) {
        ok = in.map(r.nodes) && rest();
    } else {
        bool nodes_ok = false, rest_ok = false;
        run_both(
            true, [&] { rest_ok = rest(); },
            [&] {
                Reader nodes(begin, nodes_end);
                nodes_ok = nodes.map(r.nodes) && nodes.position() == nodes_end;
            });
        ok = nodes_ok && rest_ok;
    }
    // Whatever follows the ninth field is ignored.
    if (!ok) return std::nullopt;
    if (used != nullptr) *used = static_cast<std::size_t>(in.position() - bytes.data());
    return r;
}

}  // namespace corvane
