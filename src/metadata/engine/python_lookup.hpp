#pragma once
// Python symbol lookups over the node table: enclosing classes, methods along the bases,
// class names, import bindings, top-level definitions of a module and builtins. Every lookup
// answers absent rather than guessing when a name has no target or several.
//
// All reads of the record and of the JSON side data go through a LookupSource, so a
// resolution pass can share parsed JSON between callers (and a later pass can record what a
// resolution read) without a second copy of the rules.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "metadata/engine/node_meta.hpp"
#include "util/hash.hpp"

namespace corvane {

struct PythonImportBinding {
    std::string module;
    std::optional<std::string> symbol;
    std::string kind;  // "module" for a module import; anything else is a symbol import
    std::optional<std::string> qualifier;

    bool operator==(const PythonImportBinding&) const = default;
};

// Scope data of one file, read from its module node's extra_json. Values of the wrong shape
// are dropped while converting, so each lookup below is a plain map access.
struct PythonBindingContext {
    // scope -> local name -> bindings; an empty list where the value does not convert
    StringMap<StringMap<std::vector<PythonImportBinding>>> import_bindings;
    // scope -> receiver expression -> type name; nullopt where the value is not a string
    StringMap<StringMap<std::optional<std::string>>> receiver_types;
    // scope -> names rebound there (only scopes whose value is a list)
    StringMap<StringSet> shadowed_names;
    bool present = false;

    bool operator==(const PythonBindingContext&) const = default;
};

// What the resolvers need from a node's own extra_json.
struct NodeExtraFacts {
    // "base_classes" when it is a list: each element's text, nullopt for a non-string element.
    std::optional<std::vector<std::optional<std::string>>> base_classes;
    // "decorators" is a non-empty list naming a staticmethod.
    bool static_method = false;

    bool operator==(const NodeExtraFacts&) const = default;
};

PythonBindingContext build_binding_context(const std::optional<std::string>& module_extra_json);
// The same read through the parsed DOM: slower, kept as the plain reading to check the
// other against (and so for the facts below).
PythonBindingContext build_binding_context_from_dom(const std::optional<std::string>& module_extra_json);
NodeExtraFacts build_extra_facts(const std::optional<std::string>& extra_json);
NodeExtraFacts build_extra_facts_from_dom(const std::optional<std::string>& extra_json);

// The one door through which resolution reads the engine record. The record itself must not
// change while a source is in use.
class LookupSource {
public:
    explicit LookupSource(const MetadataEngine& record) : record_(record) {}
    virtual ~LookupSource() = default;
    LookupSource(const LookupSource&) = delete;
    LookupSource& operator=(const LookupSource&) = delete;

    const NodeMeta* node(std::string_view id) { return node(id, StringHash{}(id)); }
    bool has_node_hash(std::string_view id) { return has_node_hash(id, StringHash{}(id)); }
    // The same with the id's StringHash already computed: a caller that probes another table
    // by the same id hashes it once.
    virtual const NodeMeta* node(std::string_view id, std::size_t hash);
    virtual bool has_node_hash(std::string_view id, std::size_t hash);
    virtual std::optional<IdsView> ids_named(std::string_view lowered_name);
    virtual bool name_index_empty();
    // Context of the file whose module node has the id file_path.
    virtual std::shared_ptr<const PythonBindingContext> binding_context(const std::string& file_path) = 0;
    // Facts of the node's extra_json; null when the node does not exist.
    virtual std::shared_ptr<const NodeExtraFacts> extra_facts(std::string_view node_id) = 0;

    // resolve_base_class of the class's index-th base, one of its facts' base_classes (nullopt
    // for a non-string one). Worked out on every request here.
    virtual std::optional<std::string> resolved_base(const std::string& class_id,
                                                     const std::vector<std::optional<std::string>>& bases,
                                                     std::size_t index);
    // resolve_calls calls this before each caller: what a source keeps for one caller goes.
    virtual void start_caller() {}

protected:
    std::optional<IdsView> find_ids_named(std::string_view lowered_name, std::size_t hash) const;

    const MetadataEngine& record_;
};

// Parses on every request: the per-call behaviour, and the oracle for the cached source.
class DirectLookup final : public LookupSource {
public:
    using LookupSource::LookupSource;
    std::shared_ptr<const PythonBindingContext> binding_context(const std::string& file_path) override;
    std::shared_ptr<const NodeExtraFacts> extra_facts(std::string_view node_id) override;
};

// Parsed side data, each entry kept until its node changes: module contexts by the module
// node's id (the file path), and each node's own facts. Whoever changes a node drops its
// entries (forget), so a store can outlive one resolution: the engine keeps one.
struct ParsedSideData {
    StringMap<std::shared_ptr<const PythonBindingContext>> contexts;
    StringMap<std::shared_ptr<const NodeExtraFacts>> facts;

    void forget(const std::string& node_id) {
        if (contexts.empty() && facts.empty()) return;  // e.g. while a table is being loaded
        const std::size_t hash = StringHash{}(node_id);
        if (auto it = contexts.find(node_id, hash); it != contexts.end()) contexts.erase(it);
        if (auto it = facts.find(node_id, hash); it != facts.end()) facts.erase(it);
    }
    void clear() {
        contexts.clear();
        facts.clear();
    }
};

// Parses each module context and each node's facts once, into a store that may be shared
// with later sources. The node itself is still read on every request, so a subclass that
// logs reads sees the same reads as with DirectLookup.
class CachedLookup : public LookupSource {
public:
    // A store of its own, for one pass.
    explicit CachedLookup(const MetadataEngine& record) : LookupSource(record), store_(own_) {}
    CachedLookup(const MetadataEngine& record, ParsedSideData& store) : LookupSource(record), store_(store) {}
    std::shared_ptr<const PythonBindingContext> binding_context(const std::string& file_path) override;
    std::shared_ptr<const NodeExtraFacts> extra_facts(std::string_view node_id) override;
    // Each base resolved once per caller: a caller's methods look up members through the
    // same classes again and again. Kept for one caller only, so that a subclass that logs
    // reads sees every read that a caller's answers depend on while resolving that caller.
    std::optional<std::string> resolved_base(const std::string& class_id,
                                             const std::vector<std::optional<std::string>>& bases,
                                             std::size_t index) override;
    void start_caller() override { bases_.clear(); }

private:
    struct BaseAnswer {
        bool resolved = false;
        std::optional<std::string> class_id;
    };

    ParsedSideData own_;
    ParsedSideData& store_;
    StringMap<std::vector<BaseAnswer>> bases_;  // class id -> one answer per base
};

// The bindings of a name, in the context that the lookup was given (which must outlive it).
struct ImportFound {
    const std::vector<PythonImportBinding>* bindings;
};
struct ImportShadowed {};
struct ImportNotFound {};
using ImportLookup = std::variant<ImportFound, ImportShadowed, ImportNotFound>;

using TypeList = std::vector<std::string_view>;
// The node types a name may resolve to.
inline const TypeList kDefinitionTypes{"Function", "Class"};
inline const TypeList kFunctionType{"Function"};
inline const TypeList kClassType{"Class"};
// Most names have a few parts: kept in place, without an allocation per name.
using NameParts = absl::InlinedVector<std::string_view, 4>;

// A caller record with its scopes worked out once: the text after the first ':' of its id
// split at '.'; scope k (depth k + 1) is the first k + 1 components joined with '.'.
struct CallerScope {
    std::string text;       // the scope's qualified name
    std::string id;         // file_path + ":" + text
    const NodeMeta* node;   // the node with that id, if any
    std::size_t hash;       // StringHash of text: the context's maps are probed by it per call name
};

// StringHash of the module scope's name "", the scope every lookup ends with.
std::size_t module_scope_hash();

struct CallerView {
    CallerView(LookupSource& src, const NodeMeta& caller);
    const NodeMeta& meta;
    bool qualified;  // the id has a ':'
    std::vector<CallerScope> scopes;

    bool scope_is(std::size_t depth, std::string_view type) const {
        const NodeMeta* n = scopes[depth - 1].node;
        return n != nullptr && n->node_type == type;
    }
};

bool is_definition_type(std::string_view node_type);
bool is_python_builtin(std::string_view name);
std::string normalize_module_path(std::string_view path);
bool module_path_matches(std::string_view file_path, std::string_view module);

// Pieces between '.', empty ones kept; views into text.
// parts[from..to) joined with "."; "file:scope", the id of a scope of that file.
std::string join(const NameParts& parts, std::size_t from, std::size_t to);
std::string scope_id(const std::string& file, std::string_view scope);
NameParts split_dots(std::string_view text);

std::optional<std::string> enclosing_class(LookupSource& src, const CallerView& caller);
// The member along the class's bases, depth-first in declared order. Each class's base names
// are resolved where Python evaluates them: in that class's own file, with its module context
// and enclosing scopes, whoever asks.
std::optional<std::string> find_method(LookupSource& src, const std::string& class_id, std::string_view member,
                                       StringSet& visited);
// One base name written in the class's statement, resolved in the class's own file.
std::optional<std::string> resolve_base_class(LookupSource& src, const std::string& class_id, std::string_view base);
std::optional<std::string> resolve_class_name(LookupSource& src, const CallerView& caller, std::string_view name,
                                              const PythonBindingContext& context);
ImportLookup lookup_import_binding(LookupSource& src, const CallerView& caller, std::string_view name,
                                   const PythonBindingContext& context);
std::optional<std::string> resolve_through_bindings(LookupSource& src, const std::vector<PythonImportBinding>& bindings,
                                                    const NameParts& parts);
std::optional<std::string> find_in_module(LookupSource& src, std::string_view module, std::string_view name,
                                          const TypeList& types);
std::vector<std::string> find_global_definitions(LookupSource& src, std::string_view name, const TypeList& types);
// The single id find_global_definitions would list, found without listing them all.
std::optional<std::string> unique_global_definition(LookupSource& src, std::string_view name, const TypeList& types);

// id names a node whose node_type is exactly `type` / is a definition type.
bool is_node_of_type(LookupSource& src, std::string_view id, std::string_view type);
bool is_definition_node(LookupSource& src, std::string_view id);

}  // namespace corvane
