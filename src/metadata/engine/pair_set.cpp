#include "metadata/engine/pair_set.hpp"

#include <algorithm>
#include <utility>

namespace corvane {

PairSet::PairSet(std::initializer_list<IdPairView> pairs) {
    for (const IdPairView& p : pairs) insert(p);
}

PairSet::PairSet(const PairSet& other) {
    reserve(other.size());
    for (const auto& [from, to] : other) emplace(from, to);
}

PairSet::PairSet(PairSet&& other) {
    if (other.own_) {
        own_ = std::move(other.own_);
        ids_ = own_.get();
        keys_ = std::move(other.keys_);
        other.ids_ = nullptr;
        other.keys_.clear();
    } else {
        *this = other;
    }
}

PairSet& PairSet::operator=(const PairSet& other) {
    if (this == &other) return *this;
    if (ids_ != nullptr && ids_ == other.ids_) {
        // One table: the keys carry over as they are, each end held once more.
        for (Key k : other.keys_) {
            ids_->hold(from_of(k));
            ids_->hold(to_of(k));
        }
        clear();
        keys_ = other.keys_;
        return *this;
    }
    clear();
    reserve(other.size());
    for (const auto& [from, to] : other) emplace(from, to);
    return *this;
}

PairSet& PairSet::operator=(PairSet&& other) {
    if (this != &other && ids_ != nullptr && ids_ == other.ids_) {
        clear();
        keys_.swap(other.keys_);
        return *this;
    }
    return *this = static_cast<const PairSet&>(other);
}

IdentityTable& PairSet::table() const {
    if (ids_ == nullptr) {
        own_ = std::make_unique<IdentityTable>();
        ids_ = own_.get();
    }
    return *ids_;
}

std::vector<PairSet::Key> PairSet::keys_by_first() const {
    // A stable radix sort on the first handle, kBits at a time, the counts of every pass
    // taken in one read of the set. Each pass writes to 2^kBits runs that stay in cache; one
    // counting pass over every handle would send each of 10^6 keys to a random place.
    constexpr unsigned kBits = 10;
    constexpr std::size_t kDigits = std::size_t{1} << kBits;
    const std::uint64_t top = ids_->handle_bound() > 0 ? ids_->handle_bound() - 1 : 0;
    unsigned passes = 0;
    while (passes * kBits < 32 && (top >> (passes * kBits)) != 0) ++passes;
    std::vector<Key> keys(keys_.size());
    if (passes == 0) {
        std::copy(keys_.begin(), keys_.end(), keys.begin());
        return keys;
    }
    auto digit = [](Key k, unsigned pass) { return (from_of(k) >> (pass * kBits)) & (kDigits - 1); };
    std::vector<std::size_t> start(passes * kDigits, 0);
    for (Key k : keys_) {
        for (unsigned p = 0; p < passes; ++p) ++start[p * kDigits + digit(k, p)];
    }
    for (unsigned p = 0; p < passes; ++p) {
        std::size_t at = 0;
        for (std::size_t d = 0; d < kDigits; ++d) at += std::exchange(start[p * kDigits + d], at);
    }
    for (Key k : keys_) keys[start[digit(k, 0)]++] = k;
    std::vector<Key> sorted(passes > 1 ? keys.size() : 0);
    for (unsigned p = 1; p < passes; ++p) {
        for (Key k : keys) sorted[start[p * kDigits + digit(k, p)]++] = k;
        keys.swap(sorted);
    }
    return keys;
}

bool PairSet::insert(NodeHandle from, NodeHandle to) {
    if (!keys_.insert(key(from, to)).second) return false;
    ids_->hold(from);
    ids_->hold(to);
    return true;
}

bool PairSet::erase(NodeHandle from, NodeHandle to) {
    if (keys_.erase(key(from, to)) == 0) return false;
    ids_->release(from);
    ids_->release(to);
    return true;
}

bool PairSet::insert(IdPairView pair) {
    IdentityTable& ids = table();
    const NodeHandle from = ids.hold(pair.first);
    const NodeHandle to = ids.hold(pair.second);
    if (keys_.insert(key(from, to)).second) return true;
    ids.release(from);
    ids.release(to);
    return false;
}

bool PairSet::contains(IdPairView pair) const {
    if (ids_ == nullptr || keys_.empty()) return false;
    auto from = ids_->find_held(pair.first);
    if (!from) return false;
    auto to = ids_->find_held(pair.second);
    return to && keys_.contains(key(*from, *to));
}

bool PairSet::erase(IdPairView pair) {
    if (ids_ == nullptr || keys_.empty()) return false;
    auto from = ids_->find_held(pair.first);
    if (!from) return false;
    auto to = ids_->find_held(pair.second);
    return to && erase(*from, *to);
}

void PairSet::clear() {
    if (ids_ != nullptr) {
        for (Key k : keys_) {
            ids_->release(from_of(k));
            ids_->release(to_of(k));
        }
    }
    keys_.clear();
}

bool PairSet::operator==(const PairSet& other) const {
    if (size() != other.size()) return false;
    if (ids_ == other.ids_ || empty()) return keys_ == other.keys_;
    for (const auto& [from, to] : *this) {
        if (!other.contains(IdPairView(from, to))) return false;
    }
    return true;
}

}  // namespace corvane
