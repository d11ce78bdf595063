#pragma once
// The str objects of node ids that graph queries hand out, kept per compiled graph so that a
// node named by many answers is made into a str once. Used with the interpreter lock held.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "graph/csr/csr_graph.hpp"
#include "metadata/engine/identity_table.hpp"

namespace corvane::py {

// Which graph and which state of the identity table the strs were made under: a graph index
// names the same id for as long as both are unchanged (graph serials and table generations
// are unique in the process).
struct IdStrKey {
    std::uint64_t graph_serial = 0;
    std::uint64_t generation = 0;
    bool operator==(const IdStrKey&) const = default;
};

class IdStrCache {
public:
    IdStrCache() = default;
    IdStrCache(const IdStrCache&) = delete;
    IdStrCache& operator=(const IdStrCache&) = delete;
    ~IdStrCache() { clear(); }

    // Makes this the cache of `key` over `node_count` indexes. The strs of another key are
    // handed to `dropped` (their references with them) rather than released here, so that the
    // caller can release them once it holds no engine lock.
    void rekey(const IdStrKey& key, std::size_t node_count, std::vector<PyObject*>& dropped);
    // The str kept for index i under the current key (a borrowed reference), or null.
    PyObject* get(graph::NodeIndex i) const { return i < strs_.size() ? strs_[i] : nullptr; }
    // Keeps a reference to s for index i, when `key` is still the current one (an answer
    // finished after the cache moved on is not kept).
    void put(const IdStrKey& key, graph::NodeIndex i, PyObject* s);
    // Releases every str.
    void clear();

private:
    IdStrKey key_;
    std::vector<PyObject*> strs_;           // by graph index
    std::vector<graph::NodeIndex> filled_;  // the indexes holding a str, so forgetting them costs what they hold
};

// The handles of the ids queries were last asked about, by str object: a caller that asks
// again with the same object skips the id lookup (hashing the text, probing the table and
// comparing the text found there). Direct-mapped, one slot per id at most; each slot holds a
// reference to its str, which is an exact str, whose release runs no code.
class IdArgMemo {
public:
    IdArgMemo() = default;
    IdArgMemo(const IdArgMemo&) = delete;
    IdArgMemo& operator=(const IdArgMemo&) = delete;
    ~IdArgMemo() { clear(); }

    // The handle kept for `arg` while the identity table is at `generation`.
    std::optional<NodeHandle> find(PyObject* arg, std::uint64_t generation) const {
        if (slots_.empty()) return std::nullopt;
        const Slot& s = slots_[slot_of(arg)];
        if (s.arg != arg || s.generation != generation) return std::nullopt;
        return s.handle;
    }
    // Starts fetching the slot find(arg) reads.
    void prefetch(PyObject* arg) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(arg)]);
    }
    // Keeps h for `arg` (an exact str) in a table sized for `id_count` ids; the strs it
    // displaces go to `dropped`, their references with them.
    void put(PyObject* arg, std::uint64_t generation, NodeHandle h, std::size_t id_count,
             std::vector<PyObject*>& dropped);
    void clear();

private:
    struct Slot {
        PyObject* arg = nullptr;
        std::uint64_t generation = 0;
        NodeHandle handle = 0;
    };
    std::size_t slot_of(PyObject* arg) const {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(arg) >> 4) * 0x9E3779B97F4A7C15ull >>
                                        (64 - bits_));
    }
    std::vector<Slot> slots_;
    unsigned bits_ = 0;
};

}  // namespace corvane::py
