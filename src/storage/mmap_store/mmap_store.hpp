#pragma once
// A file of back-to-back records, mapped shared read-write as a whole. Records are appended
// at an offset that starts at the file's length as found on opening; the file grows by at
// least doubling, so a run of appends remaps only a logarithmic number of times.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/result.hpp"

namespace corvane::storage {

struct AppendedRecord {
    std::uint64_t offset;
    std::uint64_t length;
};

class MmapStore {
public:
    // Opens (never truncates) or creates the file, grows it to initial_size if shorter and
    // maps it. Failures are Io errors worded "<description> (os error N)".
    static Result<MmapStore> open(const std::string& path, std::uint64_t initial_size);

    MmapStore(MmapStore&& other) noexcept;
    MmapStore& operator=(MmapStore&& other) noexcept;
    MmapStore(const MmapStore&) = delete;
    MmapStore& operator=(const MmapStore&) = delete;
    ~MmapStore();

    // Copies the record to the append offset, growing and remapping first if it does not
    // fit. A failed growth is a WrongState error and leaves mapping and offset as they were.
    Result<AppendedRecord> append(std::span<const std::uint8_t> record);

    // Checks that [offset, offset + length) lies within the mapping (InvalidValue if not).
    Status check_range(std::uint64_t offset, std::uint64_t length) const;
    // Copies a checked range into `out`, which has room for `length` bytes.
    void copy_range(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) const;
    // check_range, then a copy of the bytes.
    Result<std::vector<std::uint8_t>> view(std::uint64_t offset, std::uint64_t length) const;

    std::uint64_t mapping_length() const { return length_; }
    std::uint64_t append_offset() const { return append_offset_; }

private:
    MmapStore(int fd, std::uint8_t* data, std::uint64_t length, std::uint64_t append_offset)
        : fd_(fd), data_(data), length_(length), append_offset_(append_offset) {}
    void release() noexcept;

    int fd_ = -1;
    std::uint8_t* data_ = nullptr;  // nullptr for an empty mapping
    std::uint64_t length_ = 0;
    std::uint64_t append_offset_ = 0;
};

}  // namespace corvane::storage
