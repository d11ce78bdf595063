#pragma once
// A byte vector for buffers that are written whole right after they are sized (an encoded
// snapshot, hundreds of MB for a large engine): resize() leaves the bytes as they come, where
// a std::vector<std::uint8_t> would clear every one before the writer overwrites it, and a
// large buffer is asked to sit on huge pages, so that touching it for the first time takes one
// page fault per 2 MB instead of one per 4 KB.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace corvane {

template <class T>
struct BufferAllocator {
    using value_type = T;

    // Below this a buffer is an ordinary allocation.
    static constexpr std::size_t kHugeFrom = std::size_t{32} << 20;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    BufferAllocator() = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes >= kHugeFrom) {
            const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            p = std::aligned_alloc(kHugePage, rounded);
            // Only advice: without huge pages the buffer works the same.
            if (p != nullptr) (void)madvise(p, rounded, MADV_HUGEPAGE);
        } else {
            p = std::malloc(bytes == 0 ? 1 : bytes);
        }
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    // Default construction leaves a trivial element as it is; any other construction is the
    // usual one.
    template <class U>
    void construct(U* p) noexcept(noexcept(U())) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const BufferAllocator&, const BufferAllocator&) noexcept { return true; }
};

using ByteBuffer = std::vector<std::uint8_t, BufferAllocator<std::uint8_t>>;

}  // namespace corvane
