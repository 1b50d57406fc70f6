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
//
// No test holds a table lock while it reads another entry: it copies what it
// needs of an entry (an arrow's or an application's two identifiers) and
// releases the entry before descending. A deep pattern thus holds one shard
// lock at a time, and two tests reading the same shards in opposite orders
// never hold one lock while waiting for the other.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "graph/matching/tentative_bindings.hpp"
#include "matches/match_set.hpp"
#include "concurrency/parallel.hpp"

namespace korvale::schema_fits {

// Looks the type up (TypeNotFound {uid, "check type matches"} when missing)
// and tests it against the pattern.
Result<bool> type_fits(const Graph& graph, const Uid& uid, const TypePattern& pattern,
                       TentativeBindings& bindings);

// As above for the term stored under the type `uid` (TermNotFound {uid,
// "check term matches"} when the type has none).
Result<bool> term_fits(const Graph& graph, const Uid& uid, const TermPattern& pattern,
                       TentativeBindings& bindings);

// A test's outcome as a check result over `m`.
inline CheckResult settle(Result<bool> fits, const TentativeBindings& bindings, MatchPtr m) {
  if (!fits) return fail(std::move(fits.error()));
  if (!*fits) return std::nullopt;
  Result<MatchPtr> layer = bindings.commit(std::move(m));
  if (!layer) return fail(std::move(layer.error()));
  return std::move(*layer);
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

}  // namespace korvale::schema_fits
