// The tests behind Graph::check_type_matches and Graph::check_term_matches,
// and the scan that runs them over a table, shared by the type and term
// schema sources.
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
#pragma once

#include <utility>

#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "graph/matches/tentative_bindings.hpp"
#include "matches/match_set.hpp"
#include "utils/parallel.hpp"

namespace korvale::schema_fits {

// Looks the type up (TypeNotFound {uid, "check type matches"} when missing)
// and tests it while its entry stays read-locked.
Result<bool> type_fits(const Graph& graph, const Uid& uid, const TypePattern& pattern,
                       TentativeBindings& bindings);
// The test itself, for a stored form the caller holds (read-locked).
Result<bool> type_rep_fits(const Graph& graph, const Uid& uid, const TypeRep& rep,
                           const TypePattern& pattern, TentativeBindings& bindings);

// As above for the term stored under the type `uid` (TermNotFound {uid,
// "check term matches"} when the type has none).
Result<bool> term_fits(const Graph& graph, const Uid& uid, const TermPattern& pattern,
                       TentativeBindings& bindings);
Result<bool> term_rep_fits(const Graph& graph, const Uid& uid, const TermRep& rep,
                           const TermPattern& pattern, TentativeBindings& bindings);

// A test's outcome as a check result over `m`.
inline CheckResult settle(Result<bool> fits, const TentativeBindings& bindings, MatchPtr m) {
  if (!fits) return fail(std::move(fits.error()));
  if (!*fits) return std::nullopt;
  Result<MatchPtr> layer = bindings.commit(std::move(m));
  if (!layer) return fail(std::move(layer.error()));
  return std::move(*layer);
}

// For every row of `matches` in parallel, and for every entry of `table` in
// parallel over its shards, runs fits(uid, rep, bindings over the row's
// layer) and adds a row (fresh id, the entry's uid, the committed layer) for
// each fit. A failure gets `entry_line` and stops both loops; the scan's
// failure then gets `scan_line`. The rows' own last_uid is not used.
template <class Rep, class Fits>
Result<MatchSet> scan_table(const ShardedMap<Uid, Rep>& table, const MatchSet& matches, Fits&& fits,
                            const char* entry_line, const char* scan_line) {
  MatchSet out;
  Status scanned = matches.try_par_for([&](const MatchRow& row) -> Status {
    Result<bool> done = table.try_par_scan([&](const Uid& uid, const Rep& rep) -> Result<Flow> {
      TentativeBindings bindings(row.match.get());
      Result<bool> fit = fits(uid, rep, bindings);
      if (!fit) return fail(std::move(fit.error()).attach(entry_line));
      if (!*fit) return Flow::Continue;
      // Only a fit touches the row's handle: misfits leave its shared count alone.
      Result<MatchPtr> layer = bindings.commit(row.match);
      if (!layer) return fail(std::move(layer.error()).attach(entry_line));
      out.insert(MatchRow{next_match_id(), uid, std::move(*layer)});
      return Flow::Continue;
    });
    if (!done) return fail(std::move(done.error()));
    return {};
  });
  if (!scanned) return fail(std::move(scanned.error()).attach(scan_line));
  return out;
}

}  // namespace korvale::schema_fits
