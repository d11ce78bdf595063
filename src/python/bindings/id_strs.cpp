#include "python/bindings/id_strs.hpp"

namespace corvane::py {

void IdStrCache::rekey(const IdStrKey& key, std::size_t node_count, std::vector<PyObject*>& dropped) {
    if (key == key_ && strs_.size() == node_count) return;
    dropped.reserve(dropped.size() + filled_.size());
    for (graph::NodeIndex i : filled_) {
        if (strs_[i] != nullptr) dropped.push_back(strs_[i]);
        strs_[i] = nullptr;
    }
    filled_.clear();
    key_ = key;
    strs_.resize(node_count, nullptr);
}

void IdStrCache::put(const IdStrKey& key, graph::NodeIndex i, PyObject* s) {
    if (!(key == key_) || i >= strs_.size() || strs_[i] != nullptr) return;
    filled_.push_back(i);  // first: a str is never held where rekey() would not find it
    strs_[i] = Py_NewRef(s);
}

void IdStrCache::clear() {
    std::vector<PyObject*> dropped;
    rekey(IdStrKey{}, 0, dropped);
    strs_.shrink_to_fit();
    filled_.shrink_to_fit();
    for (PyObject* s : dropped) Py_DECREF(s);
}

namespace {

constexpr unsigned kMinMemoBits = 6;
constexpr unsigned kMaxMemoBits = 22;

}  // namespace

void IdArgMemo::put(PyObject* arg, std::uint64_t generation, NodeHandle h, std::size_t id_count,
                    std::vector<PyObject*>& dropped) {
    unsigned bits = kMinMemoBits;
    while (bits < kMaxMemoBits && (std::size_t{1} << bits) < id_count) ++bits;
    if (bits > bits_) {  // grown with the table: every str is placed anew, so they start over
        std::vector<Slot> grown(std::size_t{1} << bits);
        dropped.reserve(dropped.size() + slots_.size());
        for (const Slot& s : slots_) {
            if (s.arg != nullptr) dropped.push_back(s.arg);
        }
        slots_ = std::move(grown);
        bits_ = bits;
    }
    Slot& s = slots_[slot_of(arg)];
    if (s.arg != arg) {
        if (s.arg != nullptr) dropped.push_back(s.arg);
        s.arg = Py_NewRef(arg);
    }
    s.generation = generation;
    s.handle = h;
}

void IdArgMemo::clear() {
    std::vector<Slot> slots;
    slots.swap(slots_);
    bits_ = 0;
    for (const Slot& s : slots) Py_XDECREF(s.arg);
}

}  // namespace corvane::py
