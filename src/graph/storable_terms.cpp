// Refusing a term that the store could not give back.
//
// The store keeps one term per type, and a stored application names its
// function and argument only by their types. A term of type Nat that holds a
// part of type Nat (succ zero) would therefore be stored as an entry naming
// itself, and no rebuild or print of it could end. What decides is the set of
// entries that the insertion leaves, not the term's shape: parts of one type
// replace each other and the one written last stays, so
// pair (succ zero) zero' stores fine (and reads back as pair zero' zero'),
// while succ zero does not.
//
// Every entry such an insertion leaves names only types that the same
// insertion writes (an application's parts are parts of the term), so the
// term alone decides; no table is read. The cache only saves walking parts
// that are stored already: a part that is the very term cached for its type
// is written by insert_term as a leaf, with all its parts in place.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <absl/base/thread_annotations.h>
#include <absl/container/flat_hash_map.h>

#include "base/tree_walks.hpp"
#include "concurrency/rwlock.hpp"
#include "graph/graph.hpp"

namespace korvale {

namespace {

// The entry that the insertion leaves for one type.
struct Entry {
  const Term* part;  // the part of that type written last
  Uid function;      // of an application: the types of its parts
  Uid argument;
  bool application;
  std::uint8_t state = 0;  // of the search for a cycle: 0 new, 1 open, 2 done
};
using Entries = absl::flat_hash_map<Uid, Entry>;

// Records the entry each written type is left with, in insert_term's order
// (children before their whole, the function before the argument). With a
// cache, a part that is the very term cached for its type is a leaf, as
// insert_term treats it; returns whether some written type has a cached term,
// which such a leaf might then hold inside it.
bool record_entries(const Term& term, const TermCache* cache, Entries& entries) {
  bool writes_cached_type = false;
  post_order<void>(
      &term,
      [&](const Term* part, PostOrderStep<const Term*, void>& step) {
        const Uid uid = part->type()->uid();
        if (cache != nullptr) {
          cache->mutex().assume_held();  // the caller holds it at least shared
          const TermPtr& cached = cache->find(uid);
          if (cached.get() == part) return;
          if (cached != nullptr) writes_cached_type = true;
        }
        if (const Application* application = part->as_application()) {
          step.parts(application->function().get(), application->argument().get());
          return;
        }
        entries.insert_or_assign(uid, Entry{part, {}, {}, false});
      },
      [&](const Term* part) {
        const Application& application = *part->as_application();
        entries.insert_or_assign(part->type()->uid(),
                                 Entry{part, application.function()->type()->uid(),
                                       application.argument()->type()->uid(), true});
      });
  return writes_cached_type;
}

// An entry that leads back to itself through the others, or null; the search
// starts at the root's type, so the one named for a term is its own type
// when that is in a loop. Types without an entry here are stored already and
// lead nowhere new.
const Entry* find_cycle(Entries& entries, const Uid& root) {
  struct Frame {
    Entry* entry;
    int next_part;
  };
  std::vector<Frame> open;
  const auto search_from = [&](Entry& start) -> const Entry* {
    if (start.state != 0) return nullptr;
    start.state = 1;
    open.push_back({&start, 0});
    while (!open.empty()) {
      Frame& top = open.back();
      if (!top.entry->application || top.next_part == 2) {
        top.entry->state = 2;
        open.pop_back();
        continue;
      }
      const Uid& part = top.next_part++ == 0 ? top.entry->function : top.entry->argument;
      const auto found = entries.find(part);
      if (found == entries.end() || found->second.state == 2) continue;
      if (found->second.state == 1) return &found->second;
      found->second.state = 1;
      open.push_back({&found->second, 0});
    }
    return nullptr;
  };
  if (const auto found = entries.find(root); found != entries.end()) {
    if (const Entry* cycle = search_from(found->second)) return cycle;
  }
  // Entries the root no longer leads to (a part of their type was replaced)
  // are stored all the same.
  for (auto& [uid, entry] : entries) {
    if (const Entry* cycle = search_from(entry)) return cycle;
  }
  return nullptr;
}

// Whether insert_term writes the part as a leaf, without any entry of its
// own parts: a name, or the very term cached for its type. Sets `rewrites`
// when it writes an entry over a type whose term is cached.
bool written_as_leaf(const Term& part, const TermCache& cache, bool& rewrites)
    ABSL_SHARED_LOCKS_REQUIRED(cache.mutex()) {
  const TermPtr& cached = cache.find(part.type()->uid());
  if (cached.get() == &part) return true;
  if (cached != nullptr) rewrites = true;
  return part.as_basic() != nullptr;
}

// The shape of every derivation, and of most terms a create writes: an
// application of a name or stored term to another, over types without a
// cached term. It leaves at most three entries, and loops only when the
// argument has the type of the whole (the function's type, an arrow ending
// in that type, is never that type itself). nullopt for another shape.
std::optional<bool> loops_as_simple_application(const Term& term, const TermCache& cache)
    ABSL_SHARED_LOCKS_REQUIRED(cache.mutex()) {
  const Application* application = term.as_application();
  const Uid whole = term.type()->uid();
  bool rewrites = cache.find(whole) != nullptr;
  const bool function_leaf = written_as_leaf(*application->function(), cache, rewrites);
  const bool argument_leaf = written_as_leaf(*application->argument(), cache, rewrites);
  if (!function_leaf || !argument_leaf || rewrites) return std::nullopt;
  return application->argument()->type()->uid() == whole;
}

// `loop`: a type whose entry would lead back to itself.
std::unexpected<Report> refusal(const Term& term, const Type& loop) {
  return fail(kind::InvalidTerm{"the term '" + term.to_string() + "' of type '" +
                                term.type()->to_string() +
                                "' cannot be stored: the store keeps one term per type, and a "
                                "term cannot contain a term of its own type (here one of type '" +
                                loop.to_string() + "')"});
}

}  // namespace

Status Graph::check_term_storable(const Term& term) const {
  if (term.as_basic() != nullptr) return {};
  const ReadLock lock(term_cache.mutex());
  return check_term_storable_locked(term);
}

Status Graph::check_term_storable_locked(const Term& term) const {
  if (term.as_basic() != nullptr) return {};
  if (std::optional<bool> loops = loops_as_simple_application(term, term_cache)) {
    if (!*loops) return {};
    return refusal(term, *term.type());
  }
  Entries entries;
  if (record_entries(term, &term_cache, entries)) {
    // A cached part may hold a type that another part rewrites: walk it all.
    entries.clear();
    record_entries(term, nullptr, entries);
  }
  const Entry* cycle = find_cycle(entries, term.type()->uid());
  if (cycle == nullptr) return {};
  return refusal(term, *cycle->part->type());
}

}  // namespace korvale
