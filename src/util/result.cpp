#include "util/result.hpp"

#include <cstring>

namespace corvane {

std::string os_error_text(int errnum) {
    char buf[256];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace corvane
