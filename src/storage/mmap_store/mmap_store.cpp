#include "storage/mmap_store/mmap_store.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace corvane::storage {

namespace {

// File lengths are signed on the system side; larger requests cannot be met.
constexpr std::uint64_t kMaxFileLength = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

int file_length(int fd, std::uint64_t& out) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    out = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

// Makes [from, to) of the file backed by disk blocks, growing the file to `to` if shorter. A
// length set by ftruncate alone would leave holes, and on a full file system the first write
// through the mapping into one would kill the process with SIGBUS. Only where the file system
// cannot reserve blocks does the file grow sparse.
int reserve(int fd, std::uint64_t from, std::uint64_t to) {
    if (to > kMaxFileLength) return EFBIG;
    if (to <= from) return 0;
    int r;
    while ((r = ::fallocate(fd, 0, static_cast<off_t>(from), static_cast<off_t>(to - from))) != 0 && errno == EINTR) {
    }
    if (r == 0) return 0;
    if (errno != EOPNOTSUPP) return errno;
    std::uint64_t now = 0;
    if (int e = file_length(fd, now)) return e;
    if (now < to && ftruncate(fd, static_cast<off_t>(to)) != 0) return errno;
    return 0;
}

// The whole file, shared read-write; an empty file gets an empty mapping without a call.
int map_file(int fd, std::uint64_t length, std::uint8_t*& out) {
    out = nullptr;
    if (length == 0) return 0;
    if (length > std::numeric_limits<std::size_t>::max()) return ENOMEM;
    void* p = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return errno;
    out = static_cast<std::uint8_t*>(p);
    return 0;
}

void unmap(std::uint8_t* data, std::uint64_t length) {
    if (data) munmap(data, static_cast<std::size_t>(length));
}

// "<description> (os error N)", with the number kept.
Error os_failure(ErrorKind kind, int err) { return Error(kind, os_error_text(err), err); }

Error shortened(std::uint64_t file_length, std::uint64_t end) {
    return wrong_state("the store file was shortened to " + std::to_string(file_length) +
                       " bytes by someone else; bytes up to " + std::to_string(end) + " are gone");
}

}  // namespace

Result<MmapStore> MmapStore::open(const std::string& path, std::uint64_t initial_size) {
    // The system call would stop at the first NUL and open a different file.
    if (path.find('\0') != std::string::npos) return os_failure(ErrorKind::Io, EINVAL);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return os_failure(ErrorKind::Io, errno);
    auto fail = [fd](int err) -> Result<MmapStore> {
        ::close(fd);
        return os_failure(ErrorKind::Io, err);
    };
    std::uint64_t original = 0;
    if (int err = file_length(fd, original)) return fail(err);
    if (original < initial_size) {
        if (int err = reserve(fd, original, initial_size)) return fail(err);
    }
    std::uint64_t length = 0;
    if (int err = file_length(fd, length)) return fail(err);
    std::uint8_t* data = nullptr;
    if (int err = map_file(fd, length, data)) return fail(err);
    return MmapStore(fd, data, length, original);
}

MmapStore::MmapStore(MmapStore&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      append_offset_(std::exchange(other.append_offset_, 0)) {}

MmapStore& MmapStore::operator=(MmapStore&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
        append_offset_ = std::exchange(other.append_offset_, 0);
    }
    return *this;
}

MmapStore::~MmapStore() { release(); }

void MmapStore::release() noexcept {
    unmap(data_, length_);
    data_ = nullptr;
    length_ = 0;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Result<AppendedRecord> MmapStore::append(std::span<const std::uint8_t> record) {
    const std::uint64_t size = record.size();
    if (append_offset_ > std::numeric_limits<std::uint64_t>::max() - size) return os_failure(ErrorKind::WrongState, EFBIG);
    const std::uint64_t end = append_offset_ + size;
    std::uint64_t current = 0;
    if (int err = file_length(fd_, current)) return os_failure(ErrorKind::WrongState, err);
    // Writing through the mapping past the file's end would fault. The file is never shorter
    // than the mapping unless someone else cut it.
    if (current < length_ && current < end) return shortened(current, end);
    if (end > length_) {
        const std::uint64_t doubled =
            length_ > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max() : 2 * length_;
        const std::uint64_t target = std::max(doubled, end);
        // Reserving never shortens a file that another store on it has grown further.
        if (int err = reserve(fd_, append_offset_, target)) return os_failure(ErrorKind::WrongState, err);
        std::uint64_t grown = 0;
        if (int err = file_length(fd_, grown)) return os_failure(ErrorKind::WrongState, err);
        if (grown < end) return shortened(grown, end);  // cut in between
        std::uint8_t* data = nullptr;
        if (int err = map_file(fd_, grown, data)) return os_failure(ErrorKind::WrongState, err);
        unmap(data_, length_);
        data_ = data;
        length_ = grown;
    }
    if (size > 0) std::memcpy(data_ + append_offset_, record.data(), record.size());
    const AppendedRecord result{append_offset_, size};
    append_offset_ = end;
    return result;
}

Status MmapStore::check_range(std::uint64_t offset, std::uint64_t length) const {
    if (offset > std::numeric_limits<std::uint64_t>::max() - length) {
        return invalid_value("view range " + std::to_string(offset) + " + " + std::to_string(length) +
                             " overflows");
    }
    if (offset + length > length_) {
        return invalid_value("view range " + std::to_string(offset) + ".." + std::to_string(offset + length) +
                             " is beyond the store's mapped length " + std::to_string(length_));
    }
    // Reading the mapping past the file's end would fault.
    std::uint64_t current = 0;
    if (int err = file_length(fd_, current)) return os_failure(ErrorKind::WrongState, err);
    if (current < offset + length) return shortened(current, offset + length);
    return {};
}

void MmapStore::copy_range(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) const {
    if (length > 0) std::memcpy(out, data_ + offset, static_cast<std::size_t>(length));
}

Result<std::vector<std::uint8_t>> MmapStore::view(std::uint64_t offset, std::uint64_t length) const {
    if (Status ok = check_range(offset, length); !ok) return ok.error();
    std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
    copy_range(offset, length, out.data());
    return out;
}

}  // namespace corvane::storage
