// Random edit sequences over a random project, with the engine restarted from its snapshot
// now and then (with or without the record of reads saved beside it), as a day of editing
// with restarts would go. After every refresh the incremental result must equal the full
// pass over a copy taken just before it, and every restart must give back the record it
// wrote.
//
// Input: the bytes are the source of every random choice (project, edits, restarts).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

#include "../tests/cpp/random_project.hpp"
#include "metadata/engine/mutations.hpp"
#include "storage/snapshot/snapshot.hpp"

namespace {

using namespace corvane;

// The fuzzer's input as a generator of 32-bit numbers. Once it runs out, a fixed sequence
// follows: a constant would never end the rejection loops of std::shuffle.
struct InputRandom {
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return UINT32_MAX; }
    explicit InputRandom(FuzzedDataProvider* in) : in_(in) {}
    result_type operator()() {
        if (in_->remaining_bytes() >= sizeof(result_type)) return in_->ConsumeIntegral<result_type>();
        after_ = after_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<result_type>(after_ >> 32);
    }
    FuzzedDataProvider* in_;
    std::uint64_t after_ = 0;
};

void check(bool ok) {
    if (!ok) std::abort();
}

// What opening an engine on the written snapshot does: decode, then adopt the record, and
// with `reads` the record of reads saved beside it. Whatever bytes `offered` holds are first
// offered as such a record to a copy: they must be refused or taken without harm.
void restart(EngineState& state, bool reads, const std::vector<std::uint8_t>& offered) {
    auto bytes = encode_snapshot(state.record);
    check(bytes.ok());
    auto decoded = decode_snapshot(*bytes);
    check(decoded.has_value() && *decoded == state.record);
    const auto recorded = reads ? encode_recorded_reads(state) : std::nullopt;
    EngineState fresh;
    check(adopt_record(fresh, std::move(*decoded)).ok());
    if (!offered.empty()) {
        EngineState scratch = fresh;
        (void)adopt_recorded_reads(scratch, offered);
    }
    // A state that vouched for itself when saved is the record's own.
    if (recorded) check(adopt_recorded_reads(fresh, *recorded));
    state = std::move(fresh);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    testing::RandomProject<InputRandom> p(&in);
    check(repopulate_edges(p.state).ok());
    for (int step = 0; step < 64 && in.remaining_bytes() >= 4; ++step) {
        const std::uint32_t action = p.rng() % 8;
        if (action == 0) {
            const std::uint32_t how = p.rng() % 3;
            const std::vector<std::uint8_t> offered =
                how == 2 ? in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64)) : std::vector<std::uint8_t>{};
            restart(p.state, how != 0, offered);
        } else {
            for (std::uint32_t k = 1 + action % 3; k > 0; --k) {
                p.step();
                check(check_incremental_invariants(p.state).ok());
            }
        }
        EngineState oracle = p.state;
        check(repopulate_edges_full(oracle).ok());
        check(repopulate_edges(p.state).ok());
        check(check_incremental_invariants(p.state).ok());
        check(p.consistent && testing::same_edges(p.state, oracle) && p.state.record.nodes == oracle.record.nodes);
    }
    return 0;
}
