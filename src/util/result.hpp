#pragma once
// A small error-or-value type: engine operations report failure by value, and only the
// binding layer turns an error into a Python exception.
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace corvane {

enum class ErrorKind {
    InvalidValue,   // ValueError
    WrongState,     // RuntimeError
    Io,             // OSError
    Fatal,          // PanicException
};

struct Error {
    Error(ErrorKind k, std::string m, int number = 0, std::string about = {})
        : kind(k), message(std::move(m)), errnum(number), path(std::move(about)) {}
    ErrorKind kind;
    std::string message;
    int errnum;        // the operating system's error number, for errors that have one
    std::string path;  // the file or directory the error is about, if any
};

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

template <>
class Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), ok_(false) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Error& error() const { return error_; }

private:
    Error error_{ErrorKind::Fatal, {}};
    bool ok_ = true;
};

using Status = Result<void>;

inline Error invalid_value(std::string message) { return {ErrorKind::InvalidValue, std::move(message)}; }
inline Error wrong_state(std::string message) { return {ErrorKind::WrongState, std::move(message)}; }
inline Error io_error(std::string message) { return {ErrorKind::Io, std::move(message)}; }

// "<description> (os error N)", the way failures of the operating system are worded.
std::string os_error_text(int errnum);

// An Io error about a file: "<path>: <description> (os error N)", with the number and path
// kept apart as well.
inline Error file_error(int errnum, std::string path) {
    std::string message = path + ": " + os_error_text(errnum);
    return Error(ErrorKind::Io, std::move(message), errnum, std::move(path));
}

// The same error with its message behind a prefix.
inline Error prefixed(std::string_view prefix, Error e) {
    e.message.insert(0, prefix);
    return e;
}

}  // namespace corvane
