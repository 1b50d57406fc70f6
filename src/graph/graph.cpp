#include "graph/graph.hpp"

#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

namespace korvale {

namespace {

constexpr const char* kTypeFromUid = "type from uid";
constexpr const char* kTermFromUid = "term from uid";
constexpr const char* kVariableRefused = "graph - type from uid [src/graph/base:453]";

// Types already rebuilt during one operation, by Uid: each stored type is read
// and made once, and the parts it shares with others are shared handles.
using TypeMemo = absl::flat_hash_map<Uid, TypePtr>;
using TermMemo = absl::flat_hash_map<Uid, TermPtr>;

// Rebuilds the type stored under `root`, children first with an explicit
// stack. A failure at the root is reported as it is; any failure below it
// means an arrow names a part the index cannot give, whatever the reason.
Result<TypePtr> rebuild_type(const ShardedMap<Uid, TypeRep>& index, const Uid& root,
                             TypeMemo& memo) {
  if (auto known = memo.find(root); known != memo.end()) return known->second;
  struct Frame {
    Uid uid;
    bool parts_done;
  };
  std::vector<Frame> stack{{root, false}};
  std::vector<TypePtr> built;
  while (!stack.empty()) {
    const Frame frame = stack.back();
    stack.pop_back();
    const bool at_root = built.empty() && stack.empty() && !frame.parts_done;
    if (frame.parts_done) {
      TypePtr codomain = std::move(built.back());
      built.pop_back();
      TypePtr arrow = Type::arrow(std::move(built.back()), std::move(codomain));
      built.back() = arrow;
      memo.emplace(frame.uid, std::move(arrow));
      continue;
    }
    if (auto known = memo.find(frame.uid); known != memo.end()) {
      built.push_back(known->second);
      continue;
    }
    std::optional<TypeRep> rep = index.get(frame.uid);
    if (!rep) {
      if (at_root) return fail(kind::TypeNotFound{root, kTypeFromUid});
      return fail(kind::IndexCorruption{
          "type repr points to a uid that does not belong to the index!", kTypeFromUid});
    }
    if (auto* arrow = rep->as_arrow()) {
      stack.push_back({frame.uid, true});
      stack.push_back({arrow->codomain, false});
      stack.push_back({arrow->domain, false});
      continue;
    }
    Result<Variable> variable = Variable::new_(std::string(rep->name()));
    if (!variable) {
      if (at_root) return fail(std::move(variable.error()).attach(kVariableRefused));
      return fail(kind::IndexCorruption{
          "type repr points to a uid that does not belong to the index!", kTypeFromUid});
    }
    TypePtr type = Type::variable(std::move(*variable));
    memo.emplace(frame.uid, type);
    built.push_back(std::move(type));
  }
  return std::move(built.back());
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
// before argument, with an explicit stack. `terms` holds every term rebuilt so
// far and, as a null handle, every application still being rebuilt: meeting
// one of those again means an application leads back to its own type (one
// stored under the type of its own argument), which would never end, so it is
// reported instead. A part the cache holds is taken as it is, and every term
// rebuilt goes into the cache; the caller holds the cache's lock exclusively,
// so no write to the TermIndex runs meanwhile.
Result<TermPtr> rebuild_term(const Graph& graph, const Uid& root, TermCache& cache) {
  struct Frame {
    Uid uid;
    bool parts_done;
    TermRep::Application parts;  // once parts_done
  };
  TypeMemo types;
  TermMemo terms;
  std::vector<Frame> stack{{root, false, {}}};
  std::vector<TermPtr> built;
  while (!stack.empty()) {
    const Frame frame = stack.back();
    stack.pop_back();
    if (frame.parts_done) {
      TermPtr argument = std::move(built.back());
      built.pop_back();
      Application application =
          KORVALE_PASS(Application::new_(std::move(built.back()), std::move(argument)));
      TermPtr term = Term::application(std::move(application));
      built.back() = term;
      cache.put(frame.uid, term, frame.parts.function, frame.parts.argument);
      terms[frame.uid] = std::move(term);
      continue;
    }
    auto [entry, fresh] = terms.try_emplace(frame.uid);
    if (!fresh) {
      if (entry->second == nullptr) {
        return fail(kind::IndexCorruption{
            "term repr refers to itself through the term of type " + uid_to_hex(frame.uid),
            kTermFromUid});
      }
      built.push_back(entry->second);
      continue;
    }
    if (const TermPtr& cached = cache.find(frame.uid)) {
      entry->second = cached;
      built.push_back(cached);
      continue;
    }
    std::optional<TermRep> rep = graph.term_index.get(frame.uid);
    if (!rep) return fail(kind::TermNotFound{frame.uid, kTermFromUid});
    TypePtr type = KORVALE_PASS(term_type(graph, frame.uid, types));
    if (auto* application = rep->as_application()) {
      stack.push_back({frame.uid, true, *application});
      stack.push_back({application->argument, false, {}});
      stack.push_back({application->function, false, {}});
      continue;
    }
    BasicTerm basic = KORVALE_PASS(BasicTerm::new_(std::string(rep->name()), std::move(type)));
    entry->second = Term::basic(std::move(basic));
    cache.put(frame.uid, entry->second);
    built.push_back(entry->second);
  }
  return std::move(built.back());
}

}  // namespace

Graph::Graph(std::vector<Constant> constants)
    : constants(std::move(constants)),
      constant_order_(order_constants(this->constants)) {}

Uid Graph::insert_type(const Type& type) {
  // A type already in the index needs nothing: whoever stored it stored its
  // parts first, and storing it again would write an equal entry.
  struct Frame {
    const Type* type;
    bool parts_done;
  };
  std::vector<Frame> stack{{&type, false}};
  while (!stack.empty()) {
    const Frame frame = stack.back();
    stack.pop_back();
    const Uid uid = frame.type->uid();
    if (frame.parts_done) {
      const Arrow& arrow = *frame.type->as_arrow();
      type_index.insert(uid, TypeRep{TypeRep::Arrow{arrow.domain->uid(), arrow.codomain->uid()}});
      continue;
    }
    if (type_index.contains(uid)) continue;
    if (const Arrow* arrow = frame.type->as_arrow()) {
      stack.push_back({frame.type, true});
      stack.push_back({arrow->codomain.get(), false});
      stack.push_back({arrow->domain.get(), false});
      continue;
    }
    type_index.insert(uid, TypeRep{TypeRep::Variable{frame.type->as_variable()->name()}});
  }
  return type.uid();
}

Uid Graph::insert_term(const Term& term) {
  // Each term: its type, then its function and its argument (each with all
  // that is inside it), then the term itself, replacing its type's term. A
  // term that is the very one cached for its type is stored already, with all
  // its parts, so storing it again would write equal entries: it is skipped.
  // The cache's lock makes each write and the drop of what it outdates one
  // step for the cache's readers.
  struct Frame {
    const Term* term;
    bool parts_done;
  };
  const std::unique_lock lock(term_cache.mutex());
  const auto store = [&](const Uid& uid, TermRep rep) {
    term_index.insert(uid, std::move(rep));
    term_cache.invalidate(uid);
  };
  std::vector<Frame> stack{{&term, false}};
  while (!stack.empty()) {
    const Frame frame = stack.back();
    stack.pop_back();
    if (frame.parts_done) {
      const Application& application = *frame.term->as_application();
      store(frame.term->type()->uid(),
            TermRep{TermRep::Application{application.function()->type()->uid(),
                                         application.argument()->type()->uid()}});
      continue;
    }
    const Uid uid = insert_type(*frame.term->type());
    if (term_cache.find(uid).get() == frame.term) continue;
    if (const Application* application = frame.term->as_application()) {
      stack.push_back({frame.term, true});
      stack.push_back({application->argument().get(), false});
      stack.push_back({application->function().get(), false});
      continue;
    }
    store(uid, TermRep{TermRep::Basic{frame.term->as_basic()->name()}});
  }
  return term.type()->uid();
}

Result<TypePtr> Graph::type_from_uid(const Uid& uid) const {
  TypeMemo memo;
  return rebuild_type(type_index, uid, memo);
}

Result<TermPtr> Graph::term_from_uid(const Uid& uid) const {
  {
    const std::shared_lock lock(term_cache.mutex());
    if (const TermPtr& cached = term_cache.find(uid)) return cached;
  }
  const std::unique_lock lock(term_cache.mutex());
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
