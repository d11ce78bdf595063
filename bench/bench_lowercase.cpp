// Lower-casing speed on ASCII and non-ASCII names, against ICU's full lowercase mapping
// (the engine's previous implementation) when ICU's headers are installed.
//
// Built with the others by a CMake build with -DCORVANE_BUILD_BENCHMARKS=ON (linked with ICU
// when libicu-dev is installed):
//   build/<dir>/bench/bench_lowercase [rounds]
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/lowercase.hpp"

#if __has_include(<unicode/casemap.h>)
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#define HAVE_ICU 1

static std::string icu_to_lower(std::string_view text) {
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (ascii) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        return out;
    }
    std::string out;
    out.reserve(text.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                              nullptr, status);
    return U_FAILURE(status) ? std::string(text) : out;
}
#endif

namespace {

std::vector<std::string> names(const std::vector<std::string>& stems, std::size_t n) {
    std::vector<std::string> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(stems[i % stems.size()] + std::to_string(i));
    return out;
}

template <class F>
double ns_per_name(const std::vector<std::string>& input, F&& lower) {
    std::size_t bytes = 0;
    const auto t = std::chrono::steady_clock::now();
    for (const std::string& s : input) bytes += lower(s).size();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t).count();
    if (bytes == 0) std::puts("");
    return ns / static_cast<double>(input.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::size_t n = 200000;
    const std::vector<std::pair<const char*, std::vector<std::string>>> workloads = {
        {"ASCII identifiers", names({"handle_request_", "HTTPServer", "get_Session_", "TestCase.setUp_", "__init__"}, n)},
        {"non-ASCII names", names({"\xCE\xA3\xCE\xA5\xCE\x9D\xCE\x91\xCE\xA1\xCE\xA4\xCE\x97\xCE\xA3\xCE\x97_",  // ΣΥΝΑΡΤΗΣΗ_
                                   "Stra\xC3\x9F" "e_\xC3\x84nderung_",                                      // Straße_Änderung_
                                   "\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x83\xD1\x87\xD0\xB8\xD1\x82\xD1\x8C_",      // Получить_
                                   "na\xC3\xAFve_\xC3\x89tat_"},                                              // naïve_État_
                                  n)},
    };
    std::printf("%-20s %14s %14s %8s\n", "workload", "ns/name", "ICU ns/name", "ratio");
    for (const auto& [label, input] : workloads) {
        // Best of the rounds; the two implementations take turns going first.
        double ours = 1e300, icu = 1e300;
        for (int r = 0; r < 2 * rounds; ++r) {
            if ((r & 1) == (r / 2 & 1))
                ours = std::min(ours, ns_per_name(input, [](const std::string& s) { return corvane::to_lower(s); }));
#ifdef HAVE_ICU
            else
                icu = std::min(icu, ns_per_name(input, [](const std::string& s) { return icu_to_lower(s); }));
#endif
        }
#ifdef HAVE_ICU
        std::size_t differ = 0;
        for (const std::string& s : input) differ += corvane::to_lower(s) != icu_to_lower(s);
        std::printf("%-20s %14.1f %14.1f %7.2fx%s\n", label, ours, icu, icu / ours, differ ? "  RESULTS DIFFER" : "");
#else
        std::printf("%-20s %14.1f %14s %8s\n", label, ours, "-", "-");
#endif
    }
}
