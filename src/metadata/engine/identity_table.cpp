#include "metadata/engine/identity_table.hpp"

#include <atomic>
#include <stdexcept>

#include "util/hex.hpp"
#include "util/node_hash.hpp"

namespace corvane {

namespace {

bool has_upper_hex(std::string_view text) {
    for (char c : text) {
        if (c >= 'A' && c <= 'F') return true;
    }
    return false;
}

}  // namespace

std::uint64_t IdentityTable::Generation::next() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

IdentityTable::IdentityTable(const IdentityTable& other)
    : entries_(other.entries_),
      free_(other.free_),
      by_hash_(other.by_hash_),
      odd_text_(other.odd_text_),
      odd_back_(other.odd_back_),
      stored_(other.stored_),
      misfits_(other.misfits_),
      generation_(other.generation_) {
    by_id_.reserve(other.by_id_.size());
    for (NodeHandle h = 0; h < entries_.size(); ++h) {
        if (entries_[h].live) by_id_.emplace(entries_[h].id, h);
    }
}

IdentityTable& IdentityTable::operator=(const IdentityTable& other) {
    if (this != &other) *this = IdentityTable(other);
    return *this;
}

NodeHandle IdentityTable::intern(std::string_view id) { return intern(id, StringHash{}(id)); }

NodeHandle IdentityTable::intern(std::string_view id, std::size_t hash) {
    if (auto it = by_id_.find(id, hash); it != by_id_.end()) return it->second;
    NodeHandle h;
    if (!free_.empty()) {
        h = free_.back();
        free_.pop_back();
    } else {
        if (entries_.size() >= kNone) throw std::length_error("identity table holds the maximum number of nodes");
        h = static_cast<NodeHandle>(entries_.size());
        entries_.emplace_back();
    }
    Entry& e = entries_[h];
    e = Entry{};
    e.id.assign(id);
    e.live = true;
    by_id_.emplace(e.id, h);
    return h;
}

void IdentityTable::release_if_unused(NodeHandle h) {
    if (h == kNone) return;
    Entry& e = entries_[h];
    if (!e.live || e.stored || e.back_refs != 0 || e.holds != 0) return;
    by_id_.erase(e.id);
    e = Entry{};
    free_.push_back(h);
}

bool IdentityTable::misfit(NodeHandle h) const {
    const Entry& e = entries_[h];
    if (!e.stored || !e.decodes) return false;
    auto it = by_hash_.find(e.hash);
    return it == by_hash_.end() || it->second != h;
}

void IdentityTable::tally(int sign, NodeHandle a, NodeHandle b) {
    if (a != kNone && misfit(a)) misfits_ += sign;
    if (b != kNone && b != a && misfit(b)) misfits_ += sign;
}

void IdentityTable::set_stored(NodeHandle h, std::string_view text) {
    Entry& e = entries_[h];
    if (!e.stored) ++stored_;
    e.stored = true;
    auto decoded = decode_hex32(text);
    e.decodes = decoded.has_value();
    e.hash = decoded.value_or(Hash32{});
    if (!decoded || has_upper_hex(text)) {
        odd_text_.insert_or_assign(h, std::string(text));
    } else if (!odd_text_.empty()) {
        odd_text_.erase(h);
    }
}

NodeHandle IdentityTable::map_back(const Hash32& hash, NodeHandle h) {
    ++entries_[h].back_refs;
    auto [slot, inserted] = by_hash_.try_emplace(hash, h);
    if (inserted) return kNone;
    const NodeHandle old = slot->second;
    slot->second = h;
    --entries_[old].back_refs;
    return old;
}

NodeHandle IdentityTable::assign_own_hash(std::string_view id) {
    const Hash32 own = blake3_digest(id);
    const NodeHandle h = intern(id);
    Entry& e = entries_[h];
    if (!e.stored) {
        // The common case, a new node whose hash no other id holds: one probe of the
        // back-mapping, and no fit to recount (the handle had no hash, nobody loses one).
        auto [slot, inserted] = by_hash_.try_emplace(own, h);
        if (inserted) {
            generation_.advance();
            ++stored_;
            e.stored = true;
            e.decodes = true;
            e.hash = own;  // a handle without a stored hash has no odd text either
            ++e.back_refs;
            return h;
        }
    }
    const bool same_hash = e.stored && e.decodes && e.hash == own && (odd_text_.empty() || !odd_text_.contains(h));
    auto holder = handle_of_hash(own);
    if (same_hash && holder == h) return h;  // nothing changes
    generation_.advance();
    const NodeHandle before = holder.value_or(kNone);
    tally(-1, h, before);
    if (!same_hash) {
        if (!e.stored) ++stored_;
        e.stored = true;
        e.decodes = true;
        e.hash = own;
        if (!odd_text_.empty()) odd_text_.erase(h);
    }
    // The key is lowercase text of 64 digits, so it cannot be among the odd ones.
    map_back(own, h);
    tally(+1, h, before);
    release_if_unused(before);
    return h;
}

void IdentityTable::remove(std::string_view id) {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return;
    const NodeHandle h = it->second;
    Entry& e = entries_[h];
    if (!e.stored) return;
    generation_.advance();
    std::string hex;
    const std::string text = text_of(h, hex);
    // The back-mapping keyed by the stored text goes too, whichever id it names.
    const bool by_bytes = e.decodes && !has_upper_hex(text);
    const NodeHandle holder = by_bytes ? handle_of_hash(e.hash).value_or(kNone) : kNone;
    tally(-1, h, holder);
    if (holder != kNone) {
        by_hash_.erase(e.hash);
        --entries_[holder].back_refs;
    } else if (!by_bytes) {
        odd_back_.erase(text);
    }
    e.stored = false;
    --stored_;
    if (!odd_text_.empty()) odd_text_.erase(h);
    tally(+1, h, holder);
    release_if_unused(holder);
    release_if_unused(h);
}

void IdentityTable::restore_hash(std::string_view id, std::size_t id_hash, std::string_view hash_text) {
    generation_.advance();
    const NodeHandle h = intern(id, id_hash);
    tally(-1, h);
    set_stored(h, hash_text);
    tally(+1, h);
}

void IdentityTable::restore_back_mapping(std::string_view hash_text, std::string_view id, std::size_t id_hash) {
    generation_.advance();
    auto decoded = decode_hex32(hash_text);
    if (!decoded || has_upper_hex(hash_text)) {
        odd_back_.insert_or_assign(std::string(hash_text), std::string(id));
        return;
    }
    const NodeHandle h = intern(id, id_hash);
    const NodeHandle before = handle_of_hash(*decoded).value_or(kNone);
    tally(-1, h, before);
    map_back(*decoded, h);
    tally(+1, h, before);
    release_if_unused(before);
}

std::optional<NodeHandle> IdentityTable::handle_of_hash(const Hash32& hash) const {
    auto it = by_hash_.find(hash);
    if (it == by_hash_.end()) return std::nullopt;
    return it->second;
}

NodeHandle IdentityTable::hold(std::string_view id, std::size_t hash) {
    const NodeHandle h = intern(id, hash);
    ++entries_[h].holds;
    return h;
}

std::optional<NodeHandle> IdentityTable::find_held(std::string_view id) const {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return std::nullopt;
    return it->second;
}

std::optional<NodeHandle> IdentityTable::find(std::string_view id, std::size_t hash) const {
    auto it = by_id_.find(id, hash);
    if (it == by_id_.end() || !entries_[it->second].stored) return std::nullopt;
    return it->second;
}

const std::string& IdentityTable::hex_of(const Hash32& hash, std::string& hex) {
    hex.resize(64);
    encode_hex32_into(hash, hex.data());
    return hex;
}

const std::string& IdentityTable::text_of(NodeHandle h, std::string& hex) const {
    if (!odd_text_.empty()) {
        if (auto it = odd_text_.find(h); it != odd_text_.end()) return it->second;
    }
    return hex_of(entries_[h].hash, hex);
}

IdentityTable::TextSize IdentityTable::text_size() const {
    TextSize out;
    std::string hex;
    for (NodeHandle h = 0; h < entries_.size(); ++h) {
        const Entry& e = entries_[h];
        if (e.stored) {
            out.strings += 2;
            out.bytes += e.id.size() + (odd_text_.empty() ? 64 : text_of(h, hex).size());
        }
        // Every by_hash_ key is the 64-digit rendering of its hash.
        out.strings += 2 * std::size_t{e.back_refs};
        out.bytes += std::size_t{e.back_refs} * (64 + e.id.size());
    }
    for (const auto& [text, id] : odd_back_) {
        out.strings += 2;
        out.bytes += text.size() + id.size();
    }
    return out;
}

std::string IdentityTable::hash_text(NodeHandle h) const {
    std::string hex;
    return text_of(h, hex);
}

const std::string* IdentityTable::id_of_hash(const Hash32& hash) const {
    // Odd keys are never lowercase renderings of 32 bytes, so no hash reaches them.
    auto h = handle_of_hash(hash);
    return h ? &entries_[*h].id : nullptr;
}

bool IdentityTable::all_own() const {
    if (misfits_ != 0 || !odd_text_.empty() || !odd_back_.empty() || by_hash_.size() != stored_) return false;
    for (const auto& [hash, h] : by_hash_) {
        const Entry& e = entries_[h];
        if (!e.stored || !e.decodes || e.hash != hash || blake3_digest(e.id) != hash) return false;
    }
    return true;
}

bool IdentityTable::operator==(const IdentityTable& other) const {
    if (stored_ != other.stored_ || back_mapping_count() != other.back_mapping_count()) return false;
    bool same = true;
    std::string hex;
    for_each_hash([&](std::string_view id, std::string_view text) {
        auto h = other.find(id);
        same = same && h && other.text_of(*h, hex) == text;
    });
    if (!same) return false;
    for (const auto& [hash, h] : by_hash_) {
        const std::string* back = other.id_of_hash(hash);
        if (back == nullptr || *back != entries_[h].id) return false;
    }
    for (const auto& [text, id] : odd_back_) {
        auto it = other.odd_back_.find(text);
        if (it == other.odd_back_.end() || it->second != id) return false;
    }
    return true;
}

}  // namespace corvane
