// PyMetadataEngine: the method layer over the metadata engine. Each method converts its
// arguments, takes the engine lock, runs one engine operation and converts the result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/graph_queries.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/table_queries.hpp"
#include "python/bindings/args.hpp"
#include "python/bindings/errors.hpp"
#include "python/bindings/id_strs.hpp"
#include "python/bindings/object_lock.hpp"
#include "python/bindings/py_ref.hpp"
#include "python/bindings/types.hpp"
#include "storage/snapshot/lifecycle.hpp"
#include "storage/snapshot/snapshot.hpp"
#include "util/json.hpp"

namespace corvane::py {

namespace {

struct EngineShared {
    PoisonLock lock;
    EngineState state;
};

struct EngineObject {
    PyObject_HEAD
    std::string workspace_path;
    std::shared_ptr<EngineShared> shared;
    bool snapshot_loaded;
    // The ids graph queries have handed out, per graph, and the handles of the ids they
    // were asked about (guarded by the interpreter lock).
    IdStrCache call_strs, dependency_strs;
    IdArgMemo asked;

    void drop_id_strs() {
        call_strs.clear();
        dependency_strs.clear();
    }
};

EngineShared& shared_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->shared; }

// ---- result conversion ---------------------------------------------------------------

// Interned dictionary keys, made once.
struct Keys {
    PyObject *node_id, *type, *name, *file_path, *signature, *docstring, *lines, *start, *end, *returns, *calls,
        *django_relations_json, *calls_count, *callers_count, *lines_count, *is_async, *is_generator, *param_count,
        *is_exported, *blast_radius_score, *extra_json, *id, *file, *django_relations, *nodes, *edges;
};

const Keys* keys() {
    static Keys k;
    static bool made = false;
    if (made) return &k;
    const char* names[] = {"node_id",     "type",          "name",         "file_path",       "signature",
                           "docstring",   "lines",         "start",        "end",             "returns",
                           "calls",       "django_relations_json",         "calls_count",     "callers_count",
                           "lines_count", "is_async",      "is_generator", "param_count",     "is_exported",
                           "blast_radius_score",           "extra_json",   "id",              "file",
                           "django_relations",             "nodes",        "edges"};
    PyObject** slots = reinterpret_cast<PyObject**>(&k);
    static_assert(sizeof(Keys) == sizeof(names) / sizeof(names[0]) * sizeof(PyObject*));
    for (std::size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
        slots[i] = PyUnicode_InternFromString(names[i]);
        if (!slots[i]) return nullptr;
    }
    made = true;
    return &k;
}

// Sets d[key] = value, taking ownership of value.
bool put(PyObject* d, PyObject* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItem(d, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* new_u32(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* new_bool(bool v) { return PyBool_FromLong(v); }

bool put_lines(PyObject* d, const Keys& k, const std::optional<std::uint32_t>& start,
               const std::optional<std::uint32_t>& end) {
    if (!start || !end) return true;
    Ref lines(PyDict_New());
    if (!lines || !put(lines.get(), k.start, new_u32(*start)) || !put(lines.get(), k.end, new_u32(*end))) return false;
    return put(d, k.lines, lines.release());
}

template <class T, class F>
bool put_opt(PyObject* d, PyObject* key, const std::optional<T>& v, F make) {
    return !v || put(d, key, make(*v));
}

// Every key after the first four, in the order both node dicts share.
bool put_node_fields(PyObject* d, const Keys& k, const NodeMeta& m) {
    return put_opt(d, k.signature, m.signature, new_str) && put_opt(d, k.docstring, m.docstring, new_str) &&
           put_lines(d, k, m.lines_start, m.lines_end) && put_opt(d, k.returns, m.returns, new_str_list) &&
           put_opt(d, k.calls, m.calls, new_str_list) &&
           put_opt(d, k.django_relations_json, m.django_relations_json, new_str) &&
           put_opt(d, k.calls_count, m.calls_count, new_u32) &&
           put_opt(d, k.callers_count, m.callers_count, new_u32) &&
           put_opt(d, k.lines_count, m.lines_count, new_u32) && put_opt(d, k.is_async, m.is_async, new_bool) &&
           put_opt(d, k.is_generator, m.is_generator, new_bool) &&
           put_opt(d, k.param_count, m.param_count, new_u32) && put_opt(d, k.is_exported, m.is_exported, new_bool) &&
           put_opt(d, k.blast_radius_score, m.blast_radius_score, new_u32) &&
           put_opt(d, k.extra_json, m.extra_json, new_str);
}

PyObject* node_meta_dict(const NodeMeta& m) {
    const Keys* k = keys();
    if (!k) return nullptr;
    Ref d(PyDict_New());
    if (!d || !put(d.get(), k->node_id, new_str(m.node_id)) || !put(d.get(), k->type, new_str(m.node_type)) ||
        !put(d.get(), k->name, new_str(m.name)) || !put(d.get(), k->file_path, new_str(m.file_path)) ||
        !put_node_fields(d.get(), *k, m)) {
        return nullptr;
    }
    return d.release();
}

PyObject* dump_node_dict(const NodeMeta& m) {
    const Keys* k = keys();
    if (!k) return nullptr;
    Ref d(PyDict_New());
    if (!d || !put(d.get(), k->type, new_str(m.node_type)) || !put(d.get(), k->name, new_str(m.name)) ||
        !put(d.get(), k->file_path, new_str(m.file_path)) || !put(d.get(), k->node_id, new_str(m.node_id)) ||
        !put_node_fields(d.get(), *k, m)) {
        return nullptr;
    }
    return d.release();
}

PyObject* search_hit_dict(const SearchHit& h) {
    const Keys* k = keys();
    if (!k) return nullptr;
    Ref d(PyDict_New());
    if (!d || !put(d.get(), k->id, new_str(h.id)) || !put(d.get(), k->type, new_str(h.type)) ||
        !put(d.get(), k->name, new_str(h.name)) || !put(d.get(), k->file, new_str(h.file)) ||
        !put_opt(d.get(), k->signature, h.signature, new_str) ||
        !put_opt(d.get(), k->docstring, h.docstring, new_str) || !put_lines(d.get(), *k, h.lines_start, h.lines_end) ||
        !put_opt(d.get(), k->returns, h.returns, new_view_list) || !put_opt(d.get(), k->calls, h.calls, new_view_list)) {
        return nullptr;
    }
    if (h.django_relations_json) {
        if (auto normal = normalize_json_text(*h.django_relations_json)) {
            if (!put(d.get(), k->django_relations, new_str(*normal))) return nullptr;
        }
    }
    return d.release();
}

PyObject* status_none(const Status& s) {
    if (!s) return raise(s.error());
    Py_RETURN_NONE;
}

// ---- snapshots and construction --------------------------------------------------------

// Compile and encode under the lock; a detached thread writes the buffer. Write failures
// are only logged: the caller has already returned.
PyObject* build_with_background_save(PyObject* self) {
    auto* obj = reinterpret_cast<EngineObject*>(self);
    EngineShared& e = *obj->shared;
    Result<EncodedSnapshot> encoded = [&] {
        ExclusiveLock lock(e.lock);
        return compile_and_encode(e.state);
    }();
    if (!encoded) return raise(encoded.error());
    return status_none(write_in_background(obj->workspace_path, std::move(*encoded)));
}

// At interpreter exit, background writes still in flight are waited for (bounded), so a
// program that ends right after build() keeps what it built.
constexpr std::chrono::seconds kExitWaitForWriters{10};

void wait_for_writers_at_exit() { (void)wait_for_background_writes(kExitWaitForWriters); }

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params("PyMetadataEngine", {"workspace_path"}, 1);
    PyObject* a[1];
    std::string workspace;
    if (!params.bind(args, kwargs, a) || !to_string(params, "workspace_path", a[0], workspace)) return nullptr;
    return guarded([&]() -> PyObject* {
        static const bool exit_hook = Py_AtExit(wait_for_writers_at_exit) == 0;
        (void)exit_hook;
        auto shared = std::make_shared<EngineShared>();
        // No other thread can see this state yet: no lock needed.
        Result<bool> loaded = restore_engine(shared->state, workspace);
        if (!loaded) return raise(loaded.error());
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<EngineObject*>(self);
        new (&obj->workspace_path) std::string(std::move(workspace));
        new (&obj->shared) std::shared_ptr<EngineShared>(std::move(shared));
        new (&obj->call_strs) IdStrCache();
        new (&obj->dependency_strs) IdStrCache();
        new (&obj->asked) IdArgMemo();
        obj->snapshot_loaded = *loaded;
        return self;
    });
}

// ---- node table ------------------------------------------------------------------------

// Text of `_extra`: a str as it is, anything else through json.dumps. A value that cannot be
// made into JSON text leaves it absent; an interruption or exhausted memory (an exception
// outside Exception, or MemoryError) is the caller's and passes through: false, error set.
bool extra_as_json(PyObject* extra, std::optional<std::string>& out) {
    out.reset();
    Ref text([extra]() -> PyObject* {
        if (PyUnicode_Check(extra)) return Py_NewRef(extra);
        Ref json(PyImport_ImportModule("json"));
        Ref dumps(json ? PyObject_GetAttrString(json.get(), "dumps") : nullptr);
        return dumps ? PyObject_CallOneArg(dumps.get(), extra) : nullptr;
    }());
    if (text && PyUnicode_Check(text.get())) {
        Py_ssize_t len;
        if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &len)) {
            out.emplace(data, static_cast<std::size_t>(len));
            return true;
        }
    }
    if (PyErr_Occurred() &&
        (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))) {
        return false;
    }
    PyErr_Clear();
    return true;
}

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("add_node",
                          {"node_id", "node_type", "name", "file_path", "signature", "docstring", "lines_start",
                           "lines_end", "returns", "calls", "django_relations_json", "is_async", "is_generator",
                           "param_count", "is_exported", "blast_radius_score", "extra_json", "_extra"},
                          4);
    PyObject* a[18];
    if (!p.bind(args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        NodeMeta m;
        if (!to_string(p, "node_id", a[0], m.node_id) || !to_string(p, "node_type", a[1], m.node_type) ||
            !to_string(p, "name", a[2], m.name) || !to_string(p, "file_path", a[3], m.file_path) ||
            !to_optional(p, "signature", a[4], m.signature, to_string) ||
            !to_optional(p, "docstring", a[5], m.docstring, to_string) ||
            !to_optional(p, "lines_start", a[6], m.lines_start, to_u32) ||
            !to_optional(p, "lines_end", a[7], m.lines_end, to_u32) ||
            !to_optional(p, "returns", a[8], m.returns, to_string_list) ||
            !to_optional(p, "calls", a[9], m.calls, to_string_list) ||
            !to_optional(p, "django_relations_json", a[10], m.django_relations_json, to_string) ||
            !to_optional(p, "is_async", a[11], m.is_async, to_bool) ||
            !to_optional(p, "is_generator", a[12], m.is_generator, to_bool) ||
            !to_optional(p, "param_count", a[13], m.param_count, to_u32) ||
            !to_optional(p, "is_exported", a[14], m.is_exported, to_bool) ||
            !to_optional(p, "blast_radius_score", a[15], m.blast_radius_score, to_u32) ||
            !to_optional(p, "extra_json", a[16], m.extra_json, to_string)) {
            return nullptr;
        }
        // `_extra` may run arbitrary Python code, so it is turned into text before the lock.
        if (a[17] && a[17] != Py_None && !extra_as_json(a[17], m.extra_json)) return nullptr;
        EngineShared& e = shared_of(self);
        locked<ExclusiveLock>(e.lock, [&] { upsert_node(e.state, std::move(m)); });
        Py_RETURN_NONE;
    });
}

// Methods taking one str argument share their parsing.
bool string_arg(const Params& p, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::string& out) {
    PyObject* a[1];
    return p.bind(args, nargs, kwnames, a) && to_string(p, name, a[0], out);
}

PyObject* contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("contains", {"node_id"}, 1);
    std::string id;
    if (!string_arg(p, "node_id", args, nargs, kwnames, id)) return nullptr;
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return PyBool_FromLong(locked<SharedLock>(e.lock, [&] { return e.state.record.nodes.contains(id); }));
    });
}

PyObject* get_node_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("get_node_meta", {"node_id"}, 1);
    std::string id;
    if (!string_arg(p, "node_id", args, nargs, kwnames, id)) return nullptr;
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        const std::optional<NodeMeta> meta = locked<SharedLock>(e.lock, [&]() -> std::optional<NodeMeta> {
            auto it = e.state.record.nodes.find(id);
            if (it == e.state.record.nodes.end()) return std::nullopt;
            return it->second;
        });
        if (!meta) Py_RETURN_NONE;
        return node_meta_dict(*meta);
    });
}

// ---- edges -----------------------------------------------------------------------------

template <EdgeKind Kind>
PyObject* add_kind_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p(Kind == EdgeKind::Execution    ? "add_edge"
                          : Kind == EdgeKind::Structural ? "add_structural_edge"
                                                         : "add_generated_edge",
                          {"from_id", "to_id"}, 2);
    PyObject* a[2];
    std::string from, to;
    if (!p.bind(args, nargs, kwnames, a) || !to_string(p, "from_id", a[0], from) || !to_string(p, "to_id", a[1], to)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return status_none(locked<ExclusiveLock>(e.lock, [&] { return add_typed_edge(e.state, from, to, Kind); }));
    });
}

PyObject* clear_generated_edges(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return status_none(locked<ExclusiveLock>(e.lock, [&] { return corvane::clear_generated_edges(e.state); }));
    });
}

PyObject* count_result(const Result<std::uint32_t>& r) {
    if (!r) return raise(r.error());
    return PyLong_FromUnsignedLong(*r);
}

PyObject* resolve_and_connect_calls_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    static const Params p("resolve_and_connect_calls", {"caller_id", "call_names"}, 2);
    PyObject* a[2];
    std::string caller;
    std::vector<std::string> names;
    if (!p.bind(args, nargs, kwnames, a) || !to_string(p, "caller_id", a[0], caller) ||
        !to_string_list(p, "call_names", a[1], names)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return count_result(locked<ExclusiveLock>(
            e.lock, [&] { return resolve_and_connect_calls(e.state, caller, names); }));
    });
}

PyObject* resolve_and_connect_django(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("resolve_and_connect_django", {"node_id", "json_str"}, 2);
    PyObject* a[2];
    std::string id, text;
    if (!p.bind(args, nargs, kwnames, a) || !to_string(p, "node_id", a[0], id) ||
        !to_string(p, "json_str", a[1], text)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return count_result(locked<ExclusiveLock>(e.lock, [&] { return resolve_django_relations(e.state, id, text); }));
    });
}

PyObject* repopulate_edges_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return status_none(locked<ExclusiveLock>(e.lock, [&] { return repopulate_edges(e.state); }));
    });
}

PyObject* invalidate_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("invalidate_file", {"file_path"}, 1);
    std::string path;
    if (!string_arg(p, "file_path", args, nargs, kwnames, path)) return nullptr;
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        return PyLong_FromUnsignedLongLong(
            locked<ExclusiveLock>(e.lock, [&] { return corvane::invalidate_file(e.state, path); }));
    });
}

// ---- compile step and graph queries ------------------------------------------------------

// The strs kept for the graphs a compile replaced are released with them (a query would
// find them stale anyway).
PyObject* build(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* done = build_with_background_save(self);
        reinterpret_cast<EngineObject*>(self)->drop_id_strs();
        return done;
    });
}

PyObject* rebuild_internal(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* obj = reinterpret_cast<EngineObject*>(self);
        const Status built = locked<ExclusiveLock>(
            obj->shared->lock, [&] { return build_and_save(obj->shared->state, obj->workspace_path); });
        obj->drop_id_strs();
        return status_none(built);
    });
}

// save() and close() are the same operation: close() releases nothing.
PyObject* save(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* obj = reinterpret_cast<EngineObject*>(self);
        SharedLock lock(obj->shared->lock);
        return status_none(save_engine(obj->shared->state, obj->workspace_path));
    });
}

// References owned until released: what a query has gathered for its list.
class OwnedRefs {
public:
    OwnedRefs() = default;
    OwnedRefs(const OwnedRefs&) = delete;
    OwnedRefs& operator=(const OwnedRefs&) = delete;
    ~OwnedRefs() {
        for (PyObject* o : refs_) Py_XDECREF(o);
    }
    std::vector<PyObject*>& refs() { return refs_; }

private:
    std::vector<PyObject*> refs_;
};

// A graph query's answer as a list of str. Under the engine lock it takes, for each node of
// the answer, the str kept for it or else a copy of its id; the missing strs are made after
// the lock is released and kept for the next answers.
PyObject* answer_list(EngineObject* obj, GraphQuery q, PyObject* arg, std::string_view id, std::uint32_t depth) {
    const bool dependency = q == GraphQuery::Dependents || q == GraphQuery::Dependencies;
    IdStrCache& cache = dependency ? obj->dependency_strs : obj->call_strs;
    OwnedRefs items, dropped;  // items: null where a str is still to be made
    TextList missing;
    std::vector<std::pair<std::size_t, graph::NodeIndex>> missing_at;  // (item, graph index)
    IdStrKey key;
    EngineShared& e = *obj->shared;
    const Status status = locked<SharedLock>(e.lock, [&]() -> Status {
        const IdentityTable& ids = e.state.record.identities;
        // Both lookups wait on memory: the second is started before the first is read.
        obj->asked.prefetch(arg);
        ids.prefetch_find(id);
        const std::optional<NodeHandle> asked = obj->asked.find(arg, ids.generation());
        const std::optional<NodeHandle> h = asked ? asked : ids.find(id);
        // Without a handle, the id's own path raises the error the query owes (an unbuilt
        // graph before an unknown id).
        Result<IndexAnswer> answer =
            h ? graph_query_indexes(e.state, q, *h, depth) : graph_query_indexes(e.state, q, id, depth);
        if (!answer) return answer.error();
        if (!asked && h && PyUnicode_CheckExact(arg)) {
            obj->asked.put(arg, ids.generation(), *h, ids.handle_bound(), dropped.refs());
        }
        if (answer->graph == nullptr) return {};
        key = {answer->graph->serial, ids.generation()};
        cache.rekey(key, answer->graph->node_count(), dropped.refs());
        const auto indexes = answer->indexes();
        items.refs().reserve(indexes.size());
        for (graph::NodeIndex i : indexes) {
            if (PyObject* s = cache.get(i)) {
                items.refs().push_back(Py_NewRef(s));
                continue;
            }
            const std::string_view text = id_at(e.state, *answer, i);
            if (text.data() == nullptr) continue;
            missing_at.emplace_back(items.refs().size(), i);
            missing.push_back(text);
            items.refs().push_back(nullptr);
        }
        return {};
    });
    if (!status) return raise(status.error());
    for (std::size_t k = 0; k < missing_at.size(); ++k) {
        PyObject* s = new_str(missing[k]);
        if (!s) return nullptr;
        items.refs()[missing_at[k].first] = s;
        // Making the str may have run Python code that changed the graph: put() keeps it
        // only while the key it was made under is still the cache's.
        cache.put(key, missing_at[k].second, s);
    }
    std::vector<PyObject*>& refs = items.refs();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(refs.size()));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < refs.size(); ++k) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), refs[k]);
        refs[k] = nullptr;
    }
    return list;
}

template <GraphQuery Q>
PyObject* direct_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p(Q == GraphQuery::Callers       ? "get_callers"
                          : Q == GraphQuery::Callees     ? "get_callees"
                          : Q == GraphQuery::Dependents  ? "get_dependents"
                                                         : "get_dependencies",
                          {"node_id"}, 1);
    PyObject* a[1];
    std::string_view id;
    if (!p.bind(args, nargs, kwnames, a) || !to_string_view(p, "node_id", a[0], id)) return nullptr;
    return guarded([&]() -> PyObject* { return answer_list(reinterpret_cast<EngineObject*>(self), Q, a[0], id, 0); });
}

template <GraphQuery Q>
PyObject* transitive_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p(Q == GraphQuery::BlastRadius ? "blast_radius" : "get_recursive_callees",
                          {"node_id", "max_depth"}, 1);
    PyObject* a[2];
    std::string_view id;
    std::optional<std::uint32_t> depth;
    if (!p.bind(args, nargs, kwnames, a) || !to_string_view(p, "node_id", a[0], id) ||
        !to_optional(p, "max_depth", a[1], depth, to_u32)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        return answer_list(reinterpret_cast<EngineObject*>(self), Q, a[0], id, depth.value_or(0));
    });
}

// ---- table queries ---------------------------------------------------------------------

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("search", {"keyword"}, 1);
    std::string keyword;
    if (!string_arg(p, "keyword", args, nargs, kwnames, keyword)) return nullptr;
    return guarded([&]() -> PyObject* {
        SearchHits hits;
        {
            EngineShared& e = shared_of(self);
            if (!locked<SharedLock>(e.lock, [&] { return search_index_current(e.state); })) {
                locked<ExclusiveLock>(e.lock, [&] { ensure_search_index(e.state); });
            }
            SharedLock lock(e.lock);
            hits = search(e.state, keyword);
        }
        Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < hits.size(); ++i) {
            PyObject* d = search_hit_dict(hits[i]);
            if (!d) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
        }
        return list.release();
    });
}

PyObject* get_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Keys* k = keys();
        if (!k) return nullptr;
        EngineShared& e = shared_of(self);
        const auto [nodes, built] = locked<SharedLock>(e.lock, [&] {
            return std::pair(e.state.record.nodes.size(), e.state.dependency_graph.has_value());
        });
        Ref d(PyDict_New());
        if (!d || !put(d.get(), k->nodes, PyLong_FromSize_t(nodes)) ||
            !put(d.get(), k->edges, PyUnicode_FromString(built ? "CSR compiled" : "not built"))) {
            return nullptr;
        }
        return d.release();
    });
}

PyObject* get_all_metadata(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        EngineShared& e = shared_of(self);
        TextList ids;
        std::vector<NodeMeta> records;
        locked<SharedLock>(e.lock, [&] {
            ids.reserve(e.state.record.nodes.size());
            records.reserve(e.state.record.nodes.size());
            for (const auto& [id, meta] : e.state.record.nodes) {
                ids.push_back(id);
                records.push_back(meta);
            }
        });
        Ref result(PyDict_New());
        if (!result) return nullptr;
        for (std::size_t i = 0; i < records.size(); ++i) {
            Ref key(new_str(ids[i]));
            if (!key || !put(result.get(), key.get(), dump_node_dict(records[i]))) return nullptr;
        }
        return result.release();
    });
}

PyObject* snapshot_loaded(PyObject* self, PyObject*) {
    return PyBool_FromLong(reinterpret_cast<EngineObject*>(self)->snapshot_loaded);
}


PyMethodDef methods[] = {
    {"rebuild_internal", NOARGS(rebuild_internal), "rebuild_internal($self)\n--\n\n"},
    {"add_node", FASTCALL(add_node),
     "add_node($self, node_id, node_type, name, file_path, signature=None, docstring=None, lines_start=None, "
     "lines_end=None, returns=None, calls=None, django_relations_json=None, is_async=None, is_generator=None, "
     "param_count=None, is_exported=None, blast_radius_score=None, extra_json=None, _extra=None)\n--\n\n"},
    {"add_edge", FASTCALL(add_kind_edge<EdgeKind::Execution>), "add_edge($self, from_id, to_id)\n--\n\n"},
    {"add_structural_edge", FASTCALL(add_kind_edge<EdgeKind::Structural>),
     "add_structural_edge($self, from_id, to_id)\n--\n\n"},
    {"add_generated_edge", FASTCALL(add_kind_edge<EdgeKind::GeneratedExecution>),
     "add_generated_edge($self, from_id, to_id)\n--\n\n"},
    {"clear_generated_edges", NOARGS(clear_generated_edges), "clear_generated_edges($self)\n--\n\n"},
    {"resolve_and_connect_calls", FASTCALL(resolve_and_connect_calls_method),
     "resolve_and_connect_calls($self, caller_id, call_names)\n--\n\n"},
    {"resolve_and_connect_django", FASTCALL(resolve_and_connect_django),
     "resolve_and_connect_django($self, node_id, json_str)\n--\n\n"},
    {"repopulate_edges", NOARGS(repopulate_edges_method), "repopulate_edges($self)\n--\n\n"},
    {"invalidate_file", FASTCALL(invalidate_file), "invalidate_file($self, file_path)\n--\n\n"},
    {"build", NOARGS(build), "build($self)\n--\n\n"},
    {"rebuild", NOARGS(build), "rebuild($self)\n--\n\n"},
    {"blast_radius", FASTCALL(transitive_query<GraphQuery::BlastRadius>),
     "blast_radius($self, node_id, max_depth=None)\n--\n\n"},
    {"get_recursive_callees", FASTCALL(transitive_query<GraphQuery::RecursiveCallees>),
     "get_recursive_callees($self, node_id, max_depth=None)\n--\n\n"},
    {"get_callers", FASTCALL(direct_query<GraphQuery::Callers>), "get_callers($self, node_id)\n--\n\n"},
    {"get_callees", FASTCALL(direct_query<GraphQuery::Callees>), "get_callees($self, node_id)\n--\n\n"},
    {"get_dependents", FASTCALL(direct_query<GraphQuery::Dependents>), "get_dependents($self, node_id)\n--\n\n"},
    {"get_dependencies", FASTCALL(direct_query<GraphQuery::Dependencies>),
     "get_dependencies($self, node_id)\n--\n\n"},
    {"search", FASTCALL(search_method), "search($self, keyword)\n--\n\n"},
    {"get_node_meta", FASTCALL(get_node_meta), "get_node_meta($self, node_id)\n--\n\n"},
    {"get_stats", NOARGS(get_stats), "get_stats($self)\n--\n\n"},
    {"contains", FASTCALL(contains), "contains($self, node_id)\n--\n\n"},
    {"snapshot_loaded", NOARGS(snapshot_loaded), "snapshot_loaded($self)\n--\n\n"},
    {"get_all_metadata", NOARGS(get_all_metadata), "get_all_metadata($self)\n--\n\n"},
    {"save", NOARGS(save), "save($self)\n--\n\n"},
    {"close", NOARGS(save), "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* metadata_engine_type() {
    static PyObject* type = nullptr;
    if (!type) type = make_class_type<EngineObject>("corvanedb.PyMetadataEngine",
                                  "PyMetadataEngine(workspace_path)\n--\n\n", engine_new, methods);
    return type;
}

}  // namespace corvane::py
