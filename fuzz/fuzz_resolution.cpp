// Call and Django relation resolution driven by arbitrary module-node and class JSON over a
// small fixed project. Nothing may crash, and three ways of resolving must agree: per call
// with fresh parses, with the cached lookup source, and the repopulation pass over the
// stored call lists.
//
// Input: segments separated by 0xFF (a byte no JSON text holds): the extra_json of module
// a.py, of module b.py, of class a.py:C, of class b.py:E, of the callers, the Django
// relations of a.py:C, then call names, one per line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/django_relations.hpp"
#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "metadata/engine/python_lookup.hpp"

namespace {

using corvane::NodeMeta;

std::vector<std::string> split(std::string_view text, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(sep, start);
        out.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return out;
        start = at + 1;
    }
}

NodeMeta node(std::string id, std::string type, std::string name, std::string file) {
    NodeMeta m;
    m.node_id = std::move(id);
    m.node_type = std::move(type);
    m.name = std::move(name);
    m.file_path = std::move(file);
    return m;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> seg = split(input, '\xFF');
    seg.resize(std::max<std::size_t>(seg.size(), 7));
    std::vector<std::string> calls = split(seg[6], '\n');
    for (std::size_t i = 7; i < seg.size(); ++i) calls.push_back(seg[i]);

    corvane::EngineState state;
    auto& rec = state.record;
    auto add = [&](NodeMeta m) { corvane::detail::upsert_node(rec, std::move(m)); };
    auto with_extra = [](NodeMeta m, const std::string& extra) {
        if (!extra.empty()) m.extra_json = extra;
        return m;
    };
    add(with_extra(node("a.py", "File", "a", "a.py"), seg[0]));
    add(with_extra(node("b.py", "File", "b", "b.py"), seg[1]));
    NodeMeta c = with_extra(node("a.py:C", "Class", "C", "a.py"), seg[2]);
    if (!seg[5].empty()) c.django_relations_json = seg[5];
    add(c);
    add(with_extra(node("b.py:E", "Class", "E", "b.py"), seg[3]));
    add(node("pkg/__init__.py:Order", "Class", "Order", "pkg/__init__.py"));
    add(node("b.py:Order", "Class", "Order", "b.py"));
    add(node("a.py:C.run", "Function", "run", "a.py"));
    add(node("b.py:E.run", "Function", "run", "b.py"));
    add(node("b.py:E.clean", "Function", "clean", "b.py"));
    add(node("a.py:helper", "Function", "helper", "a.py"));
    add(node("b.py:helper", "Function", "helper", "b.py"));
    add(node("b.py:compute", "Function", "compute", "b.py"));
    const std::vector<std::string> callers{"a.py:f", "a.py:C.save", "a.py:f.inner", "b.py:E.clean.x"};
    for (const auto& id : callers) {
        const std::size_t colon = id.find(':');
        NodeMeta m = with_extra(node(id, "Function", id.substr(id.rfind('.') + 1), id.substr(0, colon)), seg[4]);
        m.calls = calls;
        add(m);
    }

    // Per call against the cached source: the same targets in the same order.
    corvane::CachedLookup cached(rec);
    for (const auto& id : callers) {
        check(corvane::resolve_calls(rec, id, calls) == corvane::resolve_calls(cached, id, calls));
    }

    for (const auto& id : callers) check(corvane::resolve_and_connect_calls(state, id, calls).ok());
    if (c.django_relations_json) {
        check(corvane::resolve_django_relations(state, "a.py:C", *c.django_relations_json).ok());
    }
    const corvane::PairSet calls_before = rec.resolved_call_edges;
    const corvane::PairSet structural_before = rec.structural_edges;
    check(corvane::repopulate_edges(state).ok());
    check(rec.resolved_call_edges == calls_before);
    check(rec.structural_edges == structural_before);
    return 0;
}
