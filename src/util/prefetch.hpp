#pragma once
// Walking a large container whose elements point elsewhere (strings, vectors, nodes of a
// node-based map) is bound by memory latency, one miss after another. Fetching what the
// elements a few places ahead will need lets those misses overlap.
#include <cstddef>
#include <string>

namespace corvane {

inline void prefetch(const void* p) { __builtin_prefetch(p); }

// The object's own bytes, every cache line of it.
template <class T>
inline void prefetch_object(const T& x) {
    const char* p = reinterpret_cast<const char*>(&x);
    for (std::size_t off = 0; off < sizeof(T); off += 64) prefetch(p + off);
}

// Reads the string object (it must be in cache or on its way) to fetch its characters.
inline void prefetch_text(const std::string& s) { prefetch(s.data()); }

inline constexpr std::size_t kNearAhead = 8;
inline constexpr std::size_t kFarAhead = 16;

// body(it) for every iterator of [first, last) in order. Before, far(e) runs on the element
// kFarAhead places later and near(e) on the one kNearAhead places later: far may only take
// the element's address (its memory is not there yet), near may read the element to fetch
// what it points to.
template <class It, class Far, class Near, class Body>
void walk_ahead_at(It first, It last, Far&& far, Near&& near, Body&& body) {
    It f = first, n = first;
    for (std::size_t i = 0; i < kFarAhead && f != last; ++i, ++f) far(*f);
    for (std::size_t i = 0; i < kNearAhead && n != last; ++i, ++n) near(*n);
    for (It it = first; it != last; ++it) {
        if (f != last) {
            far(*f);
            ++f;
        }
        if (n != last) {
            near(*n);
            ++n;
        }
        body(it);
    }
}

// The same walk, body(e) given each element.
template <class It, class Far, class Near, class Body>
void walk_ahead(It first, It last, Far&& far, Near&& near, Body&& body) {
    walk_ahead_at(first, last, far, near, [&](It it) { body(*it); });
}

template <class Range, class Far, class Near, class Body>
void walk_ahead(const Range& r, Far&& far, Near&& near, Body&& body) {
    walk_ahead(r.begin(), r.end(), far, near, body);
}

inline constexpr auto kNoPrefetch = [](const auto&) {};

}  // namespace corvane
