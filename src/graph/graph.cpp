#include "graph/graph.hpp"

#include <utility>
#include <vector>

#include <absl/base/thread_annotations.h>

#include "base/tree_walks.hpp"
#include "concurrency/rwlock.hpp"

namespace korvale {

namespace {

constexpr const char* kTypeFromUid = "type from uid";
constexpr const char* kTermFromUid = "term from uid";
constexpr const char* kVariableRefused = "graph - type from uid [src/graph/base:453]";

// Types already rebuilt during one operation, by Uid: each stored type is read
// and made once, and the parts it shares with others are shared handles.
using TypeMemo = absl::flat_hash_map<Uid, TypePtr>;
using TermMemo = absl::flat_hash_map<Uid, TermPtr>;

// Rebuilds the type stored under `root`, children first. A failure at the
// root is reported as it is; any failure below it means an arrow names a part
// the index cannot give, whatever the reason.
Result<TypePtr> rebuild_type(const ShardedMap<Uid, TypeRep>& index, const Uid& root,
                             TypeMemo& memo) {
  if (auto known = memo.find(root); known != memo.end()) return known->second;
  const auto corrupt = [] {
    return fail(kind::IndexCorruption{
        "type repr points to a uid that does not belong to the index!", kTypeFromUid});
  };
  bool root_pending = true;  // the root is entered first
  return post_order<TypePtr>(
      root,
      [&](const Uid& uid, PostOrderStep<Uid, TypePtr>& step) -> Status {
        const bool is_root = std::exchange(root_pending, false);
        if (auto known = memo.find(uid); known != memo.end()) {
          step.value(known->second);
          return {};
        }
        std::optional<TypeRep> rep = index.get(uid);
        if (!rep) {
          if (is_root) return fail(kind::TypeNotFound{root, kTypeFromUid});
          return corrupt();
        }
        if (auto* arrow = rep->as_arrow()) {
          step.parts(arrow->domain, arrow->codomain);
          return {};
        }
        Result<Variable> variable = Variable::new_(std::string(rep->name()));
        if (!variable) {
          if (is_root) return fail(std::move(variable.error()).attach(kVariableRefused));
          return corrupt();
        }
        TypePtr type = Type::variable(std::move(*variable));
        memo.emplace(uid, type);
        step.value(std::move(type));
        return {};
      },
      [&](const Uid& uid, TypePtr domain, TypePtr codomain) {
        TypePtr arrow = Type::arrow(std::move(domain), std::move(codomain));
        memo.emplace(uid, arrow);
        return arrow;
      });
}

// The type of the term stored under `uid`; a missing type means the term
// index holds a term the type index does not know.
Result<TypePtr> term_type(const Graph& graph, const Uid& uid, TypeMemo& types) {
  Result<TypePtr> type = rebuild_type(graph.type_index, uid, types);
  if (!type && std::holds_alternative<kind::TypeNotFound>(type.error().kind())) {
    return fail(kind::IndexCorruption{
        "Found a term in the TermIndex without its corresponding type in the TypeIndex",
        kTermFromUid});
  }
  return type;
}

// Rebuilds the term stored for `root` from the terms stored now, function
// before argument, children first. `terms` holds every term rebuilt so far
// and, as a null handle, every application still being rebuilt: meeting one
// of those again means an application leads back to its own type (one stored
// under the type of its own argument), which would never end, so it is
// reported instead. A part the cache holds is taken as it is, and every term
// rebuilt goes into the cache; the caller holds the cache's lock exclusively,
// so no write to the TermIndex runs meanwhile.
Result<TermPtr> rebuild_term(const Graph& graph, const Uid& root, TermCache& cache)
    ABSL_EXCLUSIVE_LOCKS_REQUIRED(cache.mutex()) {
  struct Node {
    Uid uid;
    TermRep::Application parts;  // of an application, for the cache
  };
  TypeMemo types;
  TermMemo terms;
  return post_order<TermPtr>(
      Node{root, {}},
      [&](Node& node, PostOrderStep<Node, TermPtr>& step) -> Status {
        cache.mutex().assume_held();  // post_order runs this here, under the caller's hold
        auto [entry, fresh] = terms.try_emplace(node.uid);
        if (!fresh) {
          if (entry->second == nullptr) {
            return fail(kind::IndexCorruption{
                "term repr refers to itself through the term of type " + uid_to_hex(node.uid),
                kTermFromUid});
          }
          step.value(entry->second);
          return {};
        }
        if (const TermPtr& cached = cache.find(node.uid)) {
          entry->second = cached;
          step.value(cached);
          return {};
        }
        std::optional<TermRep> rep = graph.term_index.get(node.uid);
        if (!rep) return fail(kind::TermNotFound{node.uid, kTermFromUid});
        TypePtr type = KORVALE_PASS(term_type(graph, node.uid, types));
        if (auto* application = rep->as_application()) {
          node.parts = *application;
          step.parts({application->function, {}}, {application->argument, {}});
          return {};
        }
        BasicTerm basic = KORVALE_PASS(BasicTerm::new_(std::string(rep->name()), std::move(type)));
        entry->second = Term::basic(std::move(basic));
        cache.put(node.uid, entry->second);
        step.value(entry->second);
        return {};
      },
      [&](const Node& node, TermPtr function, TermPtr argument) -> Result<TermPtr> {
        cache.mutex().assume_held();  // as above
        Application application =
            KORVALE_PASS(Application::new_(std::move(function), std::move(argument)));
        TermPtr term = Term::application(std::move(application));
        cache.put(node.uid, term, node.parts.function, node.parts.argument);
        terms[node.uid] = term;
        return term;
      });
}

}  // namespace

Graph::Graph(std::vector<Constant> constants)
    : constants(std::move(constants)), constant_order_(order_constants(this->constants)) {}

Uid Graph::insert_type(const Type& type) {
  // A type already in the index needs nothing: whoever stored it stored its
  // parts first, and storing it again would write an equal entry.
  post_order<void>(
      &type,
      [&](const Type* part, PostOrderStep<const Type*, void>& step) {
        const Uid uid = part->uid();
        if (type_index.contains(uid)) return;
        if (const Arrow* arrow = part->as_arrow()) {
          step.parts(arrow->domain.get(), arrow->codomain.get());
          return;
        }
        type_index.insert(uid, TypeRep{TypeRep::Variable{part->as_variable()->name()}});
      },
      [&](const Type* part) {
        const Arrow& arrow = *part->as_arrow();
        type_index.insert(part->uid(),
                          TypeRep{TypeRep::Arrow{arrow.domain->uid(), arrow.codomain->uid()}});
      });
  return type.uid();
}

Result<Uid> Graph::insert_term(const Term& term) {
  // Each term: its type, then its function and its argument (each with all
  // that is inside it), then the term itself, replacing its type's term. A
  // term that is the very one cached for its type is stored already, with all
  // its parts, so storing it again would write equal entries: it is skipped.
  // The cache's lock makes each write and the drop of what it outdates one
  // step for the cache's readers.
  const WriteLock lock(term_cache.mutex());
  KORVALE_PASS_STATUS(check_term_storable_locked(term));
  const auto store = [&](const Uid& uid, TermRep rep) {
    term_cache.mutex().assume_held();  // run below, under `lock`
    term_index.insert(uid, std::move(rep));
    term_cache.invalidate(uid);
  };
  post_order<void>(
      &term,
      [&](const Term* part, PostOrderStep<const Term*, void>& step) {
        term_cache.mutex().assume_held();  // post_order runs this here, under `lock`
        const Uid uid = insert_type(*part->type());
        if (term_cache.find(uid).get() == part) return;
        if (const Application* application = part->as_application()) {
          step.parts(application->function().get(), application->argument().get());
          return;
        }
        store(uid, TermRep{TermRep::Basic{part->as_basic()->name()}});
      },
      [&](const Term* part) {
        const Application& application = *part->as_application();
        store(part->type()->uid(),
              TermRep{TermRep::Application{application.function()->type()->uid(),
                                           application.argument()->type()->uid()}});
      });
  return term.type()->uid();
}

Result<TypePtr> Graph::type_from_uid(const Uid& uid) const {
  TypeMemo memo;
  return rebuild_type(type_index, uid, memo);
}

Result<TermPtr> Graph::term_from_uid(const Uid& uid) const {
  {
    const ReadLock lock(term_cache.mutex());
    if (const TermPtr& cached = term_cache.find(uid)) return cached;
  }
  const WriteLock lock(term_cache.mutex());
  return rebuild_term(*this, uid, term_cache);
}

Result<Uid> Graph::get_edge_type(const EdgeUid& edge) const {
  std::optional<Uid> type = edge_to_type_index.get(edge);
  if (!type) return fail(kind::EdgeNotFound{edge, "graph - get edge type"});
  return *type;
}

Result<PropertyMap> Graph::node_properties(const Uid& uid) const {
  std::optional<PropertyMap> properties;
  node_index.find_with(uid, [&](const NodeProperties& stored) { properties = stored.map; });
  if (!properties) return fail(kind::NodeNotFound{uid, "node properties"});
  return std::move(*properties);
}

Result<PropertyMap> Graph::edge_properties(const EdgeUid& edge) const {
  std::optional<PropertyMap> properties = edge_index.get(edge);
  if (!properties) return fail(kind::EdgeNotFound{edge, "edge properties"});
  return std::move(*properties);
}

}  // namespace korvale
