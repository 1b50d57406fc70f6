// The tests behind Graph::check_type_matches and Graph::check_term_matches,
// and the scans that run them over a table, written once for the type and
// term schema sources. Each source supplies a Side (below) with its own
// per-level test; the lookup, the check of one entry and the parallel scans
// are the templates here.
//
// A test answers whether one stored type (term) fits one pattern, collecting
// its bindings in a TentativeBindings instead of making layers on the way.
// The reports and their context lines are those of the Graph operations.
//
// The tests recurse once per level of the pattern, never per level of the
// stored form: a wildcard or a bound variable fits without descending, so a
// stored type or term of any depth (a long derivation chain, or an
// application stored under its own argument's type) costs at most the
// pattern's depth, which the schema compilers bound.
//
// No test holds a table lock while it reads another entry: it copies what it
// needs of an entry (an arrow's or an application's two identifiers) and
// releases the entry before descending. A deep pattern thus holds one shard
// lock at a time, and two tests reading the same shards in opposite orders
// never hold one lock while waiting for the other.
#pragma once

#include <cassert>
#include <cstddef>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "base/stack_guard.hpp"
#include "concurrency/parallel.hpp"
#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "graph/matching/tentative_bindings.hpp"
#include "matches/match_set.hpp"

namespace korvale::schema_fits {

// What a source supplies, for types (TypePattern over the TypeIndex) or terms
// (TermPattern over the TermIndex):
//
//   struct Side {
//     using Pattern = ...;   // a variant `value` with a Wildcard alternative
//     using Rep = ...;       // the table's entry
//     using View = ...;      // what a test keeps of an entry once released
//     using NotFound = ...;  // the kind reported for a missing entry
//     static constexpr const char* kNotFoundContext;  // that report's context
//     static constexpr const char* kStackWhat;        // what StackExhausted names
//     static constexpr const char* kEntryLine;        // a failing candidate's line
//     static constexpr const char* kScanLine;         // a failing scan's line
//     static constexpr const char* kSchemaLine;       // a failing schema scan's line
//     static const ShardedMap<Uid, Rep>& table(const Graph& graph);
//     static View view(const Rep& rep, const Pattern& pattern);
//     // One level that is not a wildcard, the stack checked.
//     static Result<bool> level_fits(const Graph& graph, const Uid& uid, const View& view,
//                                    const Pattern& pattern, TentativeBindings& bindings);
//   };

// entry_fits for the type side, for the term side's tests of a constant's
// types: looks the type up (TypeNotFound {uid, "check type matches"} when
// missing) and tests it against the pattern.
Result<bool> type_fits(const Graph& graph, const Uid& uid, const TypePattern& pattern,
                       TentativeBindings& bindings);

// The failures are built out of line: the tests recurse once per pattern
// level, and a report built in place would widen every level's frame.
template <class Side>
[[gnu::cold, gnu::noinline]] std::unexpected<Report> not_found(const Uid& uid) {
  return fail(typename Side::NotFound{uid, Side::kNotFoundContext});
}

template <class Side>
[[gnu::cold, gnu::noinline]] std::unexpected<Report> stack_exhausted() {
  return fail(kind::StackExhausted{Side::kStackWhat});
}

// One level of a test over an entry already viewed: a wildcard fits without
// descending, and every other level checks the stack before its own test.
template <class Side>
Result<bool> view_fits(const Graph& graph, const Uid& uid, const typename Side::View& view,
                       const typename Side::Pattern& pattern, TentativeBindings& bindings) {
  if (std::holds_alternative<typename Side::Pattern::Wildcard>(pattern.value)) return true;
  if (!stack_has_room()) return stack_exhausted<Side>();
  return Side::level_fits(graph, uid, view, pattern, bindings);
}

// Views the entry `uid` under its shard lock, then tests it released. A
// missing entry is Side::NotFound {uid, Side::kNotFoundContext}: for terms,
// the type `uid` has no term.
template <class Side>
Result<bool> entry_fits(const Graph& graph, const Uid& uid, const typename Side::Pattern& pattern,
                        TentativeBindings& bindings) {
  std::optional<typename Side::View> view;
  Side::table(graph).find_with(
      uid, [&](const typename Side::Rep& rep) { view = Side::view(rep, pattern); });
  if (!view) return not_found<Side>(uid);
  return view_fits<Side>(graph, uid, *view, pattern, bindings);
}

// A test's outcome as a check result over `m`.
inline CheckResult settle(Result<bool> fits, const TentativeBindings& bindings, MatchPtr m) {
  if (!fits) return fail(std::move(fits.error()));
  if (!*fits) return std::nullopt;
  Result<MatchPtr> layer = bindings.commit(std::move(m));
  if (!layer) return fail(std::move(layer.error()));
  return std::move(*layer);
}

// The entry `uid` tested over the layer `m`: its layer when it fits. Always
// inlined into the Graph operation, which would otherwise hand `m` on
// through one more call and handle on every candidate of a path step.
template <class Side>
[[gnu::always_inline]] inline CheckResult check_entry(const Graph& graph, const Uid& uid,
                                                      const typename Side::Pattern& pattern,
                                                      MatchPtr m) {
  TentativeBindings bindings(m.get());
  Result<bool> fits = entry_fits<Side>(graph, uid, pattern, bindings);
  return settle(std::move(fits), bindings, std::move(m));
}

// For every row of `matches` in parallel, and for every key of `table` in
// parallel, runs fits(uid, bindings over the row's layer) and adds a row
// (fresh id, the key, the committed layer) for each fit. A failure gets
// `entry_line` and stops both loops; the scan's failure then gets
// `scan_line`. The rows' own last_uid is not used; an empty `matches` does
// not read the table.
//
// The keys are gathered once, in parallel over the table's shards, and shared
// by all rows: testing an entry while its shard stays locked would hold that
// lock across the reads of the other entries it names.
template <class Rep, class Fits>
Result<MatchSet> scan_table(const ShardedMap<Uid, Rep>& table, const MatchSet& matches, Fits&& fits,
                            const char* entry_line, const char* scan_line) {
  assert(entry_line != nullptr && scan_line != nullptr);
  MatchSet out;
  if (matches.empty()) return out;
  const std::vector<Uid> candidates = table.keys();
  Status scanned = matches.try_par_for([&](const MatchRow& row) -> Status {
    return try_par_for(candidates.size(), [&](std::size_t i) -> Status {
      const Uid& uid = candidates[i];
      TentativeBindings bindings(row.match.get());
      Result<bool> fit = fits(uid, bindings);
      if (!fit) return fail(std::move(fit.error()).attach(entry_line));
      if (!*fit) return {};
      // Only a fit touches the row's handle: misfits leave its shared count alone.
      Result<MatchPtr> layer = bindings.commit(row.match);
      if (!layer) return fail(std::move(layer.error()).attach(entry_line));
      out.insert(MatchRow{next_match_id(), uid, std::move(*layer)});
      return {};
    });
  });
  if (!scanned) return fail(std::move(scanned.error()).attach(scan_line));
  return out;
}

// The rows of every entry of the side's table that fits `pattern` over a row
// of `matches`, as scan_table with the side's entry and scan lines.
template <class Side>
Result<MatchSet> scan_pattern(const Graph& graph, const typename Side::Pattern& pattern,
                              const MatchSet& matches) {
  return scan_table(
      Side::table(graph), matches,
      [&](const Uid& uid, TentativeBindings& bindings) {
        return entry_fits<Side>(graph, uid, pattern, bindings);
      },
      Side::kEntryLine, Side::kScanLine);
}

// scan_pattern over the schema's compiled pattern; a failure gets the side's
// schema line.
template <class Side, class Schema>
Result<MatchSet> scan_schema(const Graph& graph, const Schema& schema, const MatchSet& matches) {
  assert(schema.compiled != nullptr);
  return KORVALE_TRY(scan_pattern<Side>(graph, *schema.compiled, matches), Side::kSchemaLine);
}

}  // namespace korvale::schema_fits
