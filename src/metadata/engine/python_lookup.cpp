#include "metadata/engine/python_lookup.hpp"

#include <algorithm>
#include <array>

#include "util/json.hpp"
#include "util/lowercase.hpp"

namespace corvane {

namespace {

// JSON value of `key` in `object`, or null when the value is not an object or lacks the key.
// nlohmann throws on wrong-type access, so every access here is guarded by a type check.
const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// Optional string field: missing or null is absent; any other non-string fails.
bool optional_string_field(const Json& object, std::string_view key, std::optional<std::string>& out) {
    const Json* v = member(object, key);
    if (v == nullptr || v->is_null()) return true;
    if (!v->is_string()) return false;
    out = v->get<std::string>();
    return true;
}

std::optional<PythonImportBinding> convert_binding(const Json& value) {
    if (!value.is_object()) return std::nullopt;
    const Json* module = member(value, "module");
    const Json* kind = member(value, "kind");
    if (module == nullptr || !module->is_string() || kind == nullptr || !kind->is_string()) return std::nullopt;
    PythonImportBinding b;
    b.module = module->get<std::string>();
    b.kind = kind->get<std::string>();
    if (!optional_string_field(value, "symbol", b.symbol)) return std::nullopt;
    if (!optional_string_field(value, "qualifier", b.qualifier)) return std::nullopt;
    return b;
}

// One binding object or a list of them; any element that does not convert voids the name.
std::vector<PythonImportBinding> convert_bindings(const Json& value) {
    std::vector<PythonImportBinding> out;
    if (value.is_array()) {
        for (const Json& element : value) {
            auto b = convert_binding(element);
            if (!b) return {};
            out.push_back(std::move(*b));
        }
    } else if (auto b = convert_binding(value)) {
        out.push_back(std::move(*b));
    }
    return out;
}

std::string member_id(std::string_view owner, std::string_view name) {
    std::string id;
    id.reserve(owner.size() + 1 + name.size());
    id += owner;
    id += '.';
    id += name;
    return id;
}

bool type_allowed(const TypeList& types, std::string_view t) {
    return std::find(types.begin(), types.end(), t) != types.end();
}

// A decorator's text names a staticmethod, after any leading '@'.
bool names_static_method(std::string_view text) {
    while (!text.empty() && text.front() == '@') text.remove_prefix(1);
    return text.size() >= 12 && text.ends_with("staticmethod");
}

enum class Value : std::uint8_t { Null, String, Other, Object, Array };

bool container(Value v) { return v == Value::Object || v == Value::Array; }

// The parser's events as Reader sees them: each value (a container when it opens) through
// value(kind, text), the end of each container through close(), and the key of the member
// to come in key_.
template <class Reader>
class EventReader {
public:
    bool null() { return self().value(Value::Null, nullptr); }
    bool boolean(bool) { return self().value(Value::Other, nullptr); }
    bool number_integer(Json::number_integer_t) { return self().value(Value::Other, nullptr); }
    bool number_unsigned(Json::number_unsigned_t) { return self().value(Value::Other, nullptr); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return self().value(Value::Other, nullptr); }
    bool binary(Json::binary_t&) { return self().value(Value::Other, nullptr); }
    bool string(Json::string_t& v) { return self().value(Value::String, &v); }
    bool start_object(std::size_t) { return self().value(Value::Object, nullptr); }
    bool start_array(std::size_t) { return self().value(Value::Array, nullptr); }
    bool key(Json::string_t& k) {
        key_.assign(k);
        return true;
    }
    bool end_object() { return self().close(); }
    bool end_array() { return self().close(); }

protected:
    std::string key_;

private:
    Reader& self() { return static_cast<Reader&>(*this); }
};

// build_binding_context's reading of the module JSON, straight from the parser's events, with
// no DOM in between. Each open container is a frame that knows what its members mean; a key
// that comes again replaces what it gave before, as the last duplicate does in the DOM.
class ContextReader : public EventReader<ContextReader> {
    friend class EventReader<ContextReader>;

public:
    explicit ContextReader(PythonBindingContext& ctx) : ctx_(ctx) {}
    bool imports_seen() const { return imports_seen_; }

private:
    enum class Role : std::uint8_t {
        Skip, Root, Imports, ImportScope, BindingList, Binding, Receivers, ReceiverScope, Shadowed, ShadowedList
    };
    // One field of a binding object as its last occurrence left it.
    struct Field {
        Value value = Value::Null;
        bool seen = false;
        std::string text;
    };
    struct Frame {
        Role role = Role::Skip;
        StringMap<std::vector<PythonImportBinding>>* names = nullptr;  // ImportScope
        std::vector<PythonImportBinding>* bindings = nullptr;          // BindingList, Binding
        StringMap<std::optional<std::string>>* exprs = nullptr;        // ReceiverScope
        StringSet* shadowed = nullptr;                                 // ShadowedList
        bool failed = false;                                           // BindingList: an element did not convert
        bool in_list = false;                                          // Binding
        Field module, kind, symbol, qualifier;                         // Binding
    };

    void push(Role role) { stack_.emplace_back().role = role; }
    // A container whose members mean nothing here.
    void skip(Value v) {
        if (container(v)) push(Role::Skip);
    }

    // A scope of one of the context's maps: what the scope gave before goes, and a container
    // of the expected kind opens a frame for its new entry, returned.
    template <class Map>
    typename Map::mapped_type* open_scope(Map& map, Value v, Value expected, Role role) {
        map.erase(key_);
        if (v != expected) {
            skip(v);
            return nullptr;
        }
        auto* entry = &map[key_];
        push(role);
        return entry;
    }

    bool value(Value v, Json::string_t* text) {
        if (stack_.empty()) {
            if (v == Value::Object) {
                push(Role::Root);
            } else {
                skip(v);
            }
            return true;
        }
        Frame& f = stack_.back();
        switch (f.role) {
            case Role::Skip: skip(v); break;
            case Role::Root: root_member(v); break;
            case Role::Imports:
                if (auto* names = open_scope(ctx_.import_bindings, v, Value::Object, Role::ImportScope)) {
                    stack_.back().names = names;
                }
                break;
            case Role::ImportScope: {
                auto* bindings = &(*f.names)[key_];
                bindings->clear();
                if (v == Value::Object) {
                    push(Role::Binding);
                } else if (v == Value::Array) {
                    push(Role::BindingList);
                }
                if (container(v)) stack_.back().bindings = bindings;
                break;
            }
            case Role::BindingList:
                if (v == Value::Object) {
                    auto* bindings = f.bindings;
                    push(Role::Binding);
                    stack_.back().bindings = bindings;
                    stack_.back().in_list = true;
                } else {
                    f.failed = true;
                    skip(v);
                }
                break;
            case Role::Binding: {
                Field* field = key_ == "module"      ? &f.module
                               : key_ == "kind"      ? &f.kind
                               : key_ == "symbol"    ? &f.symbol
                               : key_ == "qualifier" ? &f.qualifier
                                                     : nullptr;
                if (field != nullptr) {
                    field->seen = true;
                    field->value = container(v) ? Value::Other : v;
                    if (v == Value::String) field->text.assign(*text);
                }
                skip(v);
                break;
            }
            case Role::Receivers:
                if (auto* exprs = open_scope(ctx_.receiver_types, v, Value::Object, Role::ReceiverScope)) {
                    stack_.back().exprs = exprs;
                }
                break;
            case Role::ReceiverScope:
                (*f.exprs)[key_] = v == Value::String ? std::optional<std::string>(*text) : std::nullopt;
                skip(v);
                break;
            case Role::Shadowed:
                if (auto* names = open_scope(ctx_.shadowed_names, v, Value::Array, Role::ShadowedList)) {
                    stack_.back().shadowed = names;
                }
                break;
            case Role::ShadowedList:
                if (v == Value::String) f.shadowed->insert(*text);
                skip(v);
                break;
        }
        return true;
    }

    void root_member(Value v) {
        Role inside = Role::Skip;
        if (key_ == "python_import_bindings") {
            imports_seen_ = true;
            ctx_.import_bindings.clear();
            inside = Role::Imports;
        } else if (key_ == "python_receiver_types") {
            ctx_.receiver_types.clear();
            inside = Role::Receivers;
        } else if (key_ == "python_shadowed_names") {
            ctx_.shadowed_names.clear();
            inside = Role::Shadowed;
        }
        if (v == Value::Object) {
            push(inside);
        } else {
            skip(v);
        }
    }

    // An optional string field: missing or null is absent; any other non-string fails.
    static bool optional_text(Field& f, std::optional<std::string>& out) {
        if (!f.seen || f.value == Value::Null) return true;
        if (f.value != Value::String) return false;
        out = std::move(f.text);
        return true;
    }

    bool close() {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        if (f.role == Role::BindingList && f.failed) f.bindings->clear();
        if (f.role != Role::Binding) return true;
        PythonImportBinding b;
        bool ok = f.module.seen && f.module.value == Value::String && f.kind.seen && f.kind.value == Value::String &&
                  optional_text(f.symbol, b.symbol) && optional_text(f.qualifier, b.qualifier);
        if (ok) {
            b.module = std::move(f.module.text);
            b.kind = std::move(f.kind.text);
            f.bindings->push_back(std::move(b));
        } else if (f.in_list) {
            stack_.back().failed = true;
        }
        return true;
    }

    PythonBindingContext& ctx_;
    std::vector<Frame> stack_;
    bool imports_seen_ = false;
};

// build_extra_facts' reading of a node's JSON from the parser's events.
class FactsReader : public EventReader<FactsReader> {
    friend class EventReader<FactsReader>;

public:
    explicit FactsReader(NodeExtraFacts& facts) : facts_(facts) {}

private:
    enum class Role : std::uint8_t { Skip, Root, Bases, Decorators };

    void skip(Value v) {
        if (container(v)) stack_.push_back(Role::Skip);
    }

    bool value(Value v, Json::string_t* text) {
        if (stack_.empty()) {
            if (v == Value::Object) {
                stack_.push_back(Role::Root);
            } else {
                skip(v);
            }
            return true;
        }
        switch (stack_.back()) {
            case Role::Skip: skip(v); return true;
            case Role::Root:
                // A member given twice counts by its last value.
                if (key_ == "base_classes") {
                    facts_.base_classes.reset();
                    if (v == Value::Array) {
                        facts_.base_classes.emplace();
                        stack_.push_back(Role::Bases);
                        return true;
                    }
                } else if (key_ == "decorators") {
                    facts_.static_method = false;
                    if (v == Value::Array) {
                        stack_.push_back(Role::Decorators);
                        return true;
                    }
                }
                skip(v);
                return true;
            case Role::Bases:
                facts_.base_classes->push_back(v == Value::String ? std::optional<std::string>(*text) : std::nullopt);
                skip(v);
                return true;
            case Role::Decorators:
                if (v == Value::String && names_static_method(*text)) facts_.static_method = true;
                skip(v);
                return true;
        }
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    NodeExtraFacts& facts_;
    std::vector<Role> stack_;
};

}  // namespace

PythonBindingContext build_binding_context(const std::optional<std::string>& module_extra_json) {
    PythonBindingContext ctx;
    if (!module_extra_json) return ctx;
    ContextReader reader(ctx);
    if (!parse_json_events(*module_extra_json, reader) || !reader.imports_seen()) return PythonBindingContext{};
    ctx.present = true;
    return ctx;
}

PythonBindingContext build_binding_context_from_dom(const std::optional<std::string>& module_extra_json) {
    PythonBindingContext ctx;
    if (!module_extra_json) return ctx;
    auto parsed = parse_json(*module_extra_json);
    if (!parsed) return ctx;
    const Json* imports = member(*parsed, "python_import_bindings");
    if (imports == nullptr) return ctx;
    ctx.present = true;
    if (imports->is_object()) {
        for (const auto& [scope, names] : imports->items()) {
            if (!names.is_object()) continue;
            auto& slot = ctx.import_bindings[scope];
            for (const auto& [name, value] : names.items()) slot[name] = convert_bindings(value);
        }
    }
    if (const Json* receivers = member(*parsed, "python_receiver_types"); receivers && receivers->is_object()) {
        for (const auto& [scope, exprs] : receivers->items()) {
            if (!exprs.is_object()) continue;
            auto& slot = ctx.receiver_types[scope];
            for (const auto& [expr, type] : exprs.items()) {
                slot[expr] = type.is_string() ? std::optional<std::string>(type.get<std::string>()) : std::nullopt;
            }
        }
    }
    if (const Json* shadowed = member(*parsed, "python_shadowed_names"); shadowed && shadowed->is_object()) {
        for (const auto& [scope, names] : shadowed->items()) {
            if (!names.is_array()) continue;
            auto& slot = ctx.shadowed_names[scope];
            for (const Json& n : names) {
                if (n.is_string()) slot.insert(n.get<std::string>());
            }
        }
    }
    return ctx;
}

NodeExtraFacts build_extra_facts(const std::optional<std::string>& extra_json) {
    NodeExtraFacts facts;
    if (!extra_json) return facts;
    FactsReader reader(facts);
    if (!parse_json_events(*extra_json, reader)) return NodeExtraFacts{};
    return facts;
}

NodeExtraFacts build_extra_facts_from_dom(const std::optional<std::string>& extra_json) {
    NodeExtraFacts facts;
    if (!extra_json) return facts;
    auto parsed = parse_json(*extra_json);
    if (!parsed) return facts;
    if (const Json* bases = member(*parsed, "base_classes"); bases && bases->is_array()) {
        auto& list = facts.base_classes.emplace();
        list.reserve(bases->size());
        for (const Json& b : *bases) {
            list.push_back(b.is_string() ? std::optional<std::string>(b.get<std::string>()) : std::nullopt);
        }
    }
    if (const Json* decorators = member(*parsed, "decorators"); decorators && decorators->is_array()) {
        for (const Json& d : *decorators) {
            if (d.is_string() && names_static_method(d.get_ref<const std::string&>())) {
                facts.static_method = true;
                break;
            }
        }
    }
    return facts;
}

const NodeMeta* LookupSource::node(std::string_view id, std::size_t hash) {
    auto it = record_.nodes.find(id, hash);
    return it == record_.nodes.end() ? nullptr : &it->second;
}

bool LookupSource::has_node_hash(std::string_view id, std::size_t hash) {
    return record_.identities.find(id, hash).has_value();
}

std::optional<IdsView> LookupSource::ids_named(std::string_view lowered_name) {
    return find_ids_named(lowered_name, StringHash{}(lowered_name));
}

std::optional<IdsView> LookupSource::find_ids_named(std::string_view lowered_name, std::size_t hash) const {
    return record_.name_index.find(lowered_name, hash);
}

bool LookupSource::name_index_empty() { return record_.name_index.empty(); }

std::optional<std::string> LookupSource::resolved_base(const std::string& class_id,
                                                       const std::vector<std::optional<std::string>>& bases,
                                                       std::size_t index) {
    if (!bases[index]) return std::nullopt;
    return resolve_base_class(*this, class_id, *bases[index]);
}

std::shared_ptr<const PythonBindingContext> DirectLookup::binding_context(const std::string& file_path) {
    const NodeMeta* module = node(file_path);
    if (module == nullptr) return std::make_shared<const PythonBindingContext>();
    return std::make_shared<const PythonBindingContext>(build_binding_context(module->extra_json));
}

std::shared_ptr<const NodeExtraFacts> DirectLookup::extra_facts(std::string_view node_id) {
    const NodeMeta* n = node(node_id);
    if (n == nullptr) return nullptr;
    return std::make_shared<const NodeExtraFacts>(build_extra_facts(n->extra_json));
}

// Both read the node first, found or not, so that a subclass that logs reads logs it, and
// probe the store with the same hash.
std::shared_ptr<const PythonBindingContext> CachedLookup::binding_context(const std::string& file_path) {
    const std::size_t hash = StringHash{}(file_path);
    const NodeMeta* module = node(file_path, hash);
    auto it = store_.contexts.find(file_path, hash);
    if (it != store_.contexts.end()) return it->second;
    auto ctx = std::make_shared<const PythonBindingContext>(
        module == nullptr ? PythonBindingContext{} : build_binding_context(module->extra_json));
    store_.contexts.emplace(file_path, ctx);
    return ctx;
}

std::shared_ptr<const NodeExtraFacts> CachedLookup::extra_facts(std::string_view node_id) {
    const std::size_t hash = StringHash{}(node_id);
    const NodeMeta* n = node(node_id, hash);
    auto it = store_.facts.find(node_id, hash);
    if (it != store_.facts.end()) return it->second;
    auto facts = n == nullptr ? nullptr : std::make_shared<const NodeExtraFacts>(build_extra_facts(n->extra_json));
    store_.facts.emplace(std::string(node_id), facts);
    return facts;
}

std::optional<std::string> CachedLookup::resolved_base(const std::string& class_id,
                                                       const std::vector<std::optional<std::string>>& bases,
                                                       std::size_t index) {
    if (auto it = bases_.find(class_id); it != bases_.end() && it->second[index].resolved) {
        return it->second[index].class_id;
    }
    auto answer = LookupSource::resolved_base(class_id, bases, index);
    // Looked up again: resolving may have added classes and moved the entries.
    auto& answers = bases_[class_id];
    answers.resize(bases.size());
    answers[index] = {true, answer};
    return answer;
}

bool is_definition_type(std::string_view node_type) { return node_type == "Function" || node_type == "Class"; }

bool is_python_builtin(std::string_view name) {
    static constexpr std::array<std::string_view, 71> kBuiltins = {
        "id",        "abs",        "all",        "any",        "bin",          "chr",       "dir",      "hex",
        "int",       "len",        "map",        "max",        "min",          "oct",       "ord",      "pow",
        "set",       "str",        "sum",        "zip",        "bool",         "dict",      "eval",     "exec",
        "hash",      "help",       "iter",       "list",       "next",         "open",      "repr",     "type",
        "vars",      "aiter",      "anext",      "ascii",      "bytes",        "float",     "input",    "print",
        "range",     "round",      "slice",      "super",      "tuple",        "divmod",    "filter",   "format",
        "locals",    "object",     "sorted",     "compile",    "complex",      "delattr",   "getattr",  "globals",
        "hasattr",   "setattr",    "callable",   "property",   "reversed",     "bytearray", "enumerate",
        "frozenset", "__import__", "breakpoint", "isinstance", "issubclass",   "memoryview",
        "classmethod", "staticmethod"};
    return std::find(kBuiltins.begin(), kBuiltins.end(), name) != kBuiltins.end();
}

namespace {

// normalize_module_path as a view into path, or into scratch when path has a backslash:
// resolution normalises a candidate's file path per lookup, mostly without allocating.
std::string_view normalized_view(std::string_view path, std::string& scratch) {
    std::string_view p = path;
    if (p.find('\\') != std::string_view::npos) {
        scratch.assign(path);
        std::replace(scratch.begin(), scratch.end(), '\\', '/');
        p = scratch;
    }
    std::size_t first = p.find_first_not_of('/');
    if (first == std::string_view::npos) return {};
    p = p.substr(first, p.find_last_not_of('/') - first + 1);
    if (p.ends_with(".py")) p.remove_suffix(3);
    if (p.ends_with("/__init__")) p.remove_suffix(9);
    return p;
}

// Both paths already normalised, m not empty.
bool normalized_matches(std::string_view a, std::string_view m) {
    if (a == m) return true;
    return a.size() > m.size() && a.ends_with(m) && a[a.size() - m.size() - 1] == '/';
}

}  // namespace

std::string normalize_module_path(std::string_view path) {
    std::string scratch;
    return std::string(normalized_view(path, scratch));
}

bool module_path_matches(std::string_view file_path, std::string_view module) {
    std::string m = normalize_module_path(module);
    if (m.empty()) return false;
    return normalized_matches(normalize_module_path(file_path), m);
}

std::string join(const NameParts& parts, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from) out += '.';
        out += parts[i];
    }
    return out;
}

std::string scope_id(const std::string& file, std::string_view scope) {
    std::string id;
    id.reserve(file.size() + 1 + scope.size());
    id += file;
    id += ':';
    id += scope;
    return id;
}

NameParts split_dots(std::string_view text) {
    NameParts parts;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, dot - start));
        start = dot + 1;
    }
}

std::size_t module_scope_hash() {
    static const std::size_t hash = StringHash{}(std::string_view());
    return hash;
}

CallerView::CallerView(LookupSource& src, const NodeMeta& caller) : meta(caller) {
    std::size_t colon = caller.node_id.find(':');
    qualified = colon != std::string::npos;
    if (!qualified) return;
    std::string_view qual = std::string_view(caller.node_id).substr(colon + 1);
    std::size_t end = 0;
    while (true) {
        end = qual.find('.', end);
        std::string text(qual.substr(0, end));
        std::string id = scope_id(caller.file_path, text);
        const NodeMeta* node = src.node(id);
        const std::size_t hash = StringHash{}(text);
        scopes.push_back({std::move(text), std::move(id), node, hash});
        if (end == std::string_view::npos) break;
        ++end;
    }
}

bool is_node_of_type(LookupSource& src, std::string_view id, std::string_view type) {
    const NodeMeta* n = src.node(id);
    return n != nullptr && n->node_type == type;
}

bool is_definition_node(LookupSource& src, std::string_view id) {
    const NodeMeta* n = src.node(id);
    return n != nullptr && is_definition_type(n->node_type);
}

std::optional<std::string> enclosing_class(LookupSource&, const CallerView& caller) {
    if (caller.scopes.size() <= 1) return std::nullopt;
    for (std::size_t i = caller.scopes.size() - 1; i >= 1; --i) {
        if (caller.scope_is(i, "Class")) return caller.scopes[i - 1].id;
    }
    return std::nullopt;
}

std::optional<std::string> resolve_base_class(LookupSource& src, const std::string& class_id, std::string_view base) {
    const NodeMeta* cls = src.node(class_id);
    if (cls == nullptr) return std::nullopt;
    // The class's own id as the place of lookup: its file, and its enclosing scopes (its own
    // scope is a Class, which import lookups pass over).
    const CallerView where(src, *cls);
    auto context = src.binding_context(cls->file_path);
    return resolve_class_name(src, where, base, *context);
}

std::optional<std::string> find_method(LookupSource& src, const std::string& class_id, std::string_view member,
                                       StringSet& visited) {
    // Depth-first in declared base order, on an explicit stack: a long chain of bases must
    // not exhaust the native stack. A frame that meets a non-string base ends its own level
    // only, exactly as a returning recursive call would.
    struct Frame {
        std::string class_id;
        std::shared_ptr<const NodeExtraFacts> facts;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    // Visits one class: its own member wins; otherwise its bases are searched.
    auto enter = [&](const std::string& c) -> std::optional<std::string> {
        if (!visited.insert(c).second) return std::nullopt;
        std::string id = member_id(c, member);
        if (is_definition_node(src, id)) return id;
        auto facts = src.extra_facts(c);
        if (facts && facts->base_classes) stack.push_back({c, std::move(facts), 0});
        return std::nullopt;
    };
    if (auto hit = enter(class_id)) return hit;
    while (!stack.empty()) {
        Frame& top = stack.back();
        const auto& bases = *top.facts->base_classes;
        if (top.next == bases.size() || !bases[top.next]) {
            stack.pop_back();
            continue;
        }
        // enter may grow the stack, so nothing of `top` is used after this call.
        if (auto b = src.resolved_base(top.class_id, bases, top.next++)) {
            if (auto hit = enter(*b)) return hit;
        }
    }
    return std::nullopt;
}

std::optional<std::string> resolve_class_name(LookupSource& src, const CallerView& caller, std::string_view name,
                                              const PythonBindingContext& context) {
    const NameParts parts = split_dots(name);
    const std::string_view first = parts.front();
    const std::string_view last = parts.back();
    const std::string& file = caller.meta.file_path;

    ImportLookup r = lookup_import_binding(src, caller, first, context);
    if (std::holds_alternative<ImportShadowed>(r)) return std::nullopt;
    if (auto* found = std::get_if<ImportFound>(&r)) {
        auto c = resolve_through_bindings(src, *found->bindings, parts);
        if (c && is_node_of_type(src, *c, "Class")) return c;
    }
    if (std::string id = scope_id(file, name); is_node_of_type(src, id, "Class")) return id;

    r = lookup_import_binding(src, caller, last, context);
    if (std::holds_alternative<ImportShadowed>(r)) return std::nullopt;
    if (auto* found = std::get_if<ImportFound>(&r)) {
        auto c = resolve_through_bindings(src, *found->bindings, NameParts{last});
        if (c && is_node_of_type(src, *c, "Class")) return c;
    }
    if (std::string id = scope_id(file, last); is_node_of_type(src, id, "Class")) return id;

    if (context.present) return std::nullopt;
    return unique_global_definition(src, last, kClassType);
}

ImportLookup lookup_import_binding(LookupSource&, const CallerView& caller, std::string_view name,
                                   const PythonBindingContext& context) {
    if (!caller.qualified) return ImportNotFound{};
    // Shadowing is checked before bindings within each scope, innermost first. The name and
    // each scope are hashed once for all the probes.
    const std::size_t name_hash = StringHash{}(name);
    auto check = [&](std::string_view scope, std::size_t scope_hash) -> std::optional<ImportLookup> {
        if (auto s = context.shadowed_names.find(scope, scope_hash);
            s != context.shadowed_names.end() && s->second.find(name, name_hash) != s->second.end()) {
            return ImportShadowed{};
        }
        if (auto b = context.import_bindings.find(scope, scope_hash); b != context.import_bindings.end()) {
            if (auto n = b->second.find(name, name_hash); n != b->second.end() && !n->second.empty()) {
                return ImportFound{&n->second};
            }
        }
        return std::nullopt;
    };
    for (std::size_t k = caller.scopes.size(); k >= 1; --k) {
        if (!caller.scope_is(k, "Function")) continue;
        if (auto hit = check(caller.scopes[k - 1].text, caller.scopes[k - 1].hash)) return *hit;
    }
    if (auto hit = check("", module_scope_hash())) return *hit;
    return ImportNotFound{};
}

namespace {

// The one candidate a binding yields for the call parts, if any.
std::optional<std::string> binding_candidate(LookupSource& src, const PythonImportBinding& b,
                                             const NameParts& parts) {
    std::size_t rest_from = 1;
    if (b.qualifier) {
        const NameParts q = split_dots(*b.qualifier);
        if (parts.size() < q.size()) return std::nullopt;
        for (std::size_t i = 1; i < q.size(); ++i) {
            if (parts[i] != q[i]) return std::nullopt;
        }
        rest_from = q.size();
    }
    const std::size_t rest_len = parts.size() > rest_from ? parts.size() - rest_from : 0;
    const std::string_view* rest_last = rest_len > 0 ? &parts.back() : nullptr;

    if (b.kind == "module") {
        if (rest_len == 0) return std::nullopt;
        if (rest_len == 1) return find_in_module(src, b.module, *rest_last, kDefinitionTypes);
        if (auto c = find_in_module(src, b.module, parts[parts.size() - 2], kClassType)) {
            std::string id = member_id(*c, *rest_last);
            if (is_definition_node(src, id)) return id;
        }
        return find_in_module(src, b.module, *rest_last, kDefinitionTypes);
    }

    if (!b.symbol) return std::nullopt;
    const std::string& symbol = *b.symbol;
    std::string sub = b.module.empty() ? symbol : b.module + "/" + symbol;
    if (rest_len > 0) {
        if (auto c = find_in_module(src, b.module, symbol, kClassType)) {
            std::string id = member_id(*c, join(parts, rest_from, parts.size()));
            if (is_definition_node(src, id)) return id;
        }
        return find_in_module(src, sub, *rest_last, kDefinitionTypes);
    }
    if (auto c = find_in_module(src, b.module, symbol, kDefinitionTypes)) return c;
    return find_in_module(src, sub, symbol, kDefinitionTypes);
}

}  // namespace

std::optional<std::string> resolve_through_bindings(LookupSource& src, const std::vector<PythonImportBinding>& bindings,
                                                    const NameParts& parts) {
    if (parts.empty()) return std::nullopt;
    std::optional<std::string> only;
    for (const auto& b : bindings) {
        auto c = binding_candidate(src, b, parts);
        if (!c) continue;
        if (!only) {
            only = std::move(c);
        } else if (*only != *c) {
            return std::nullopt;  // two different candidates: ambiguous
        }
    }
    return only;
}

std::optional<std::string> find_in_module(LookupSource& src, std::string_view module, std::string_view name,
                                          const TypeList& types) {
    // The definition's filter (find_global_definitions, then top-level ids of matching
    // files, exactly one) without sorting the whole name's list: common names such as get
    // carry thousands of methods, and only a distinct count is needed.
    const auto ids = src.ids_named(to_lower(name));
    if (!ids) return std::nullopt;
    const std::string wanted = normalize_module_path(module);
    if (wanted.empty()) return std::nullopt;
    const std::string* kept = nullptr;
    std::string scratch;
    for (const auto& id : *ids) {
        // A top-level id ends with ":" + name; methods are rejected before any lookup.
        if (id.size() <= name.size() || id[id.size() - name.size() - 1] != ':' || !id.ends_with(name)) continue;
        // The node's file path must be the id's file part, and that part in the module: ids
        // of other files are rejected unread, since nothing in their nodes could admit them.
        const std::string_view file = std::string_view(id).substr(0, id.size() - name.size() - 1);
        if (!normalized_matches(normalized_view(file, scratch), wanted)) continue;
        const NodeMeta* n = src.node(id);
        if (n == nullptr || n->name != name || !type_allowed(types, n->node_type) || n->file_path != file) continue;
        if (kept != nullptr && *kept != id) return std::nullopt;
        kept = &id;
    }
    if (kept == nullptr) return std::nullopt;
    return *kept;
}

std::optional<std::string> unique_global_definition(LookupSource& src, std::string_view name, const TypeList& types) {
    const auto ids = src.ids_named(to_lower(name));
    if (!ids) return std::nullopt;
    const std::string* kept = nullptr;
    for (const auto& id : *ids) {
        const NodeMeta* n = src.node(id);
        if (n == nullptr || n->name != name || !type_allowed(types, n->node_type)) continue;
        if (kept != nullptr && *kept != id) return std::nullopt;
        kept = &id;
    }
    if (kept == nullptr) return std::nullopt;
    return *kept;
}

std::vector<std::string> find_global_definitions(LookupSource& src, std::string_view name, const TypeList& types) {
    std::vector<std::string> out;
    const auto ids = src.ids_named(to_lower(name));
    if (!ids) return out;
    for (const auto& id : *ids) {
        const NodeMeta* n = src.node(id);
        if (n == nullptr || n->name != name || !type_allowed(types, n->node_type)) continue;
        out.push_back(id);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace corvane
