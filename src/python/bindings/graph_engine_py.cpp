// PyGraphEngine: a graph keyed by 32-byte hashes written as 64 hexadecimal digits. It
// collects edges in a GraphBuilder, compiles once into a CsrGraph and then only answers
// blast-radius questions; there is no way back to collecting.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/csr/csr_graph.hpp"
#include "python/bindings/args.hpp"
#include "python/bindings/errors.hpp"
#include "python/bindings/object_lock.hpp"
#include "python/bindings/py_ref.hpp"
#include "python/bindings/types.hpp"
#include "util/hex.hpp"

namespace corvane::py {

namespace {

struct HashGraphState {
    std::optional<graph::GraphBuilder> builder{std::in_place};
    std::optional<graph::CsrGraph> graph;
};

// ---- engine operations: every failure is checked before anything changes -----------------

Status add_hex_edge(HashGraphState& s, std::string_view from_hex, std::string_view to_hex) {
    if (!s.builder) return wrong_state("Graph is already built");
    const auto from = decode_hex32(from_hex);
    if (!from) return invalid_value("Invalid from_hex");
    const auto to = decode_hex32(to_hex);
    if (!to) return invalid_value("Invalid to_hex");
    s.builder->add_edge(*from, *to);
    return {};
}

// Keys that do not decode are skipped one by one.
Status invalidate_hex_nodes(HashGraphState& s, const std::vector<std::string>& hex_hashes) {
    if (!s.builder) return wrong_state("Graph builder is missing");
    for (const auto& text : hex_hashes) {
        if (const auto hash = decode_hex32(text)) s.builder->remove_node_edges(*hash);
    }
    return {};
}

Status compile_once(HashGraphState& s) {
    if (!s.builder) return wrong_state("Graph builder is missing");
    // Compile before giving up the builder, so a failure leaves the state as it was.
    graph::CsrGraph compiled = s.builder->compile();
    s.graph = std::move(compiled);
    s.builder.reset();
    return {};
}

Result<std::vector<Hash32>> hex_blast_radius(const HashGraphState& s, std::string_view start_hex) {
    if (!s.graph) return wrong_state("Graph must be built first");
    const auto start = decode_hex32(start_hex);
    if (!start) return invalid_value("Invalid start_hex");
    return s.graph->reachable(*start, s.graph->reverse, 0);
}

// ---- method layer --------------------------------------------------------------------------

struct GraphObject {
    PyObject_HEAD
    PoisonLock lock;
    HashGraphState state;
};

GraphObject& graph_of(PyObject* self) { return *reinterpret_cast<GraphObject*>(self); }

PyObject* status_none(const Status& s) {
    if (!s) return raise(s.error());
    Py_RETURN_NONE;
}

PyObject* new_hex_list(const std::vector<Hash32>& hashes) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(hashes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        PyObject* s = PyUnicode_New(64, 127);
        if (!s) return nullptr;
        encode_hex32_into(hashes[i], reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s)));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

// A str argument as UTF-8 without a copy: the text is the argument's own cached buffer,
// valid for the whole call. Keys are decoded straight from it.
bool key_arg(const Params& p, const char* name, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        std::string unused;
        return to_string(p, name, obj, unused);  // raises the usual TypeError
    }
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(len));
    return true;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params("PyGraphEngine", {}, 0);
    PyObject* unused[1];
    if (!params.bind(args, kwargs, unused)) return nullptr;
    return guarded([&]() -> PyObject* {
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<GraphObject*>(self);
        new (&obj->lock) PoisonLock();
        try {
            new (&obj->state) HashGraphState();
        } catch (...) {
            obj->lock.~PoisonLock();
            type->tp_free(self);
            Py_DECREF(type);
            throw;
        }
        return self;
    });
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("add_edge", {"from_hex", "to_hex"}, 2);
    PyObject* a[2];
    std::string_view from, to;
    if (!p.bind(args, nargs, kwnames, a) || !key_arg(p, "from_hex", a[0], from) || !key_arg(p, "to_hex", a[1], to)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        GraphObject& g = graph_of(self);
        return status_none(locked<ExclusiveLock>(g.lock, [&] { return add_hex_edge(g.state, from, to); }));
    });
}

PyObject* invalidate_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("invalidate_nodes", {"hex_hashes"}, 1);
    PyObject* a[1];
    std::vector<std::string> hashes;
    if (!p.bind(args, nargs, kwnames, a) || !to_string_list(p, "hex_hashes", a[0], hashes)) return nullptr;
    return guarded([&]() -> PyObject* {
        GraphObject& g = graph_of(self);
        return status_none(locked<ExclusiveLock>(g.lock, [&] { return invalidate_hex_nodes(g.state, hashes); }));
    });
}

// build() and rebuild_csr() are one operation.
PyObject* build(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        GraphObject& g = graph_of(self);
        return status_none(locked<ExclusiveLock>(g.lock, [&] { return compile_once(g.state); }));
    });
}

PyObject* blast_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("blast_radius", {"start_hex"}, 1);
    PyObject* a[1];
    std::string_view start;
    if (!p.bind(args, nargs, kwnames, a) || !key_arg(p, "start_hex", a[0], start)) return nullptr;
    return guarded([&]() -> PyObject* {
        GraphObject& g = graph_of(self);
        const Result<std::vector<Hash32>> reached =
            locked<ExclusiveLock>(g.lock, [&] { return hex_blast_radius(g.state, start); });
        if (!reached) return raise(reached.error());
        return new_hex_list(*reached);
    });
}


PyMethodDef methods[] = {
    {"add_edge", FASTCALL(add_edge), "add_edge($self, from_hex, to_hex)\n--\n\n"},
    {"build", NOARGS(build), "build($self)\n--\n\n"},
    {"rebuild_csr", NOARGS(build), "rebuild_csr($self)\n--\n\n"},
    {"invalidate_nodes", FASTCALL(invalidate_nodes), "invalidate_nodes($self, hex_hashes)\n--\n\n"},
    {"blast_radius", FASTCALL(blast_radius), "blast_radius($self, start_hex)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* graph_engine_type() {
    static PyObject* type = nullptr;
    if (!type) type = make_class_type<GraphObject>("corvanedb.PyGraphEngine",
                                  "PyGraphEngine()\n--\n\n", engine_new, methods);
    return type;
}

}  // namespace corvane::py
