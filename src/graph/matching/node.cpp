// Node patterns: the first node of a path (match_node_pattern) and the test
// of a node reached by an edge (check_node_matches).
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <utility>
#include <vector>

#include "base/stack_guard.hpp"
#include "graph/concrete_type.hpp"
#include "graph/graph.hpp"
#include "graph/matching/row_steps.hpp"

namespace korvale {
namespace row_steps {
namespace {

bool binds_any(const Match& m, const std::vector<std::string>& names) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return m.contains_key(name); });
}

Result<bool> node_filter(const Graph& graph, const Uid& uid,
                         const std::optional<PropertyMap>& filter) {
  if (!filter) return true;
  return graph.check_node_matches_properties(uid, *filter);
}

Status bind_node(const NodePattern& pattern, Match& layer, const Uid& uid) {
  if (!pattern.variable) return {};
  return layer.insert(*pattern.variable, MatchElement::Node{uid});
}

// A. The row binds the pattern's variable: test that node, on the row's own
// layer. Without a property filter the node itself is not looked up.
Status match_bound_node(const Graph& graph, const NodePattern& pattern, const MatchElement& bound,
                        const MatchPtr& m, Sink sink) {
  const Uid uid = KORVALE_TRY(bound.as_node(*pattern.variable, "match node pattern"),
                              "graph - match node pattern [src/graph/matches/node:30]");
  static constexpr PartLines kLines{"graph - match node pattern [src/graph/matches/node:45]",
                                    "graph - match node pattern [src/graph/matches/node:60]",
                                    "graph - match node pattern [src/graph/matches/node:74]"};
  const std::optional<MatchPtr> fit =
      KORVALE_PASS(check_parts(graph, uid, pattern, m, kLines, [&](const PropertyMap& filter) {
        return graph.check_node_matches_properties(uid, filter);
      }));
  if (!fit) return {};
  return sink(uid, *fit);
}

// B1, per candidate type t that fitted the type schema with layer mt.
Status match_type_candidate(const Graph& graph, const NodePattern& pattern, const Uid& t,
                            const MatchPtr& mt, Sink sink) {
  if (!graph.node_index.contains(t)) return {};
  MatchPtr c = Match::new_(mt);
  if (!pattern.term_schema) {
    const bool passes = KORVALE_TRY(node_filter(graph, t, pattern.properties),
                                    "graph - match node pattern [src/graph/matches/node:154]");
    if (!passes) return {};
    KORVALE_CHECK(bind_node(pattern, *c, t),
                  "graph - match node pattern [src/graph/matches/node:165]");
    return sink(t, std::move(c));
  }
  CheckResult term = graph.check_term_matches(t, *pattern.term_schema->compiled, std::move(c));
  if (!term) {
    // A candidate type without a term simply does not fit here.
    if (std::holds_alternative<kind::TermNotFound>(term.error().kind())) return {};
    return fail(
        std::move(term.error()).attach("graph - match node pattern [src/graph/matches/node:143]"));
  }
  if (!*term) return {};
  MatchPtr r = std::move(**term);
  const bool passes = KORVALE_TRY(node_filter(graph, t, pattern.properties),
                                  "graph - match node pattern [src/graph/matches/node:117]");
  if (!passes) return {};
  KORVALE_CHECK(bind_node(pattern, *r, t),
                "graph - match node pattern [src/graph/matches/node:128]");
  return sink(t, std::move(r));
}

MatchSet seed_set(const MatchRow& row) {
  MatchSet seed;
  seed.insert({next_match_id(), row.last_uid, row.match});
  return seed;
}

// B1: the candidates of the type schema, by one lookup when it names one type.
Status match_by_type(const Graph& graph, const NodePattern& pattern,
                     const std::optional<ConcreteType>& concrete, const MatchRow& row, Sink sink) {
  if (concrete && !binds_any(*row.match, concrete->names)) {
    if (!graph.type_index.contains(concrete->uid)) return {};
    return match_type_candidate(graph, pattern, concrete->uid, row.match, sink);
  }
  const MatchSet candidates =
      KORVALE_TRY(graph.match_type_schema(*pattern.type_schema, seed_set(row)),
                  "graph - match node pattern [src/graph/matches/node:92]");
  return candidates.try_par_for([&](const MatchRow& candidate) {
    return match_type_candidate(graph, pattern, candidate.last_uid, candidate.match, sink);
  });
}

// B2: the types whose term fits the term schema and that have a node.
Status match_by_term(const Graph& graph, const NodePattern& pattern, const MatchRow& row,
                     Sink sink) {
  const MatchSet candidates =
      KORVALE_TRY(graph.match_term_schema(*pattern.term_schema, seed_set(row)),
                  "graph - match node pattern [src/graph/matches/node:180]");
  return candidates.try_par_for([&](const MatchRow& candidate) -> Status {
    const Uid& t = candidate.last_uid;
    if (!graph.node_index.contains(t)) return {};
    const bool passes = KORVALE_TRY(node_filter(graph, t, pattern.properties),
                                    "graph - match node pattern [src/graph/matches/node:197]");
    if (!passes) return {};
    // The term test may have returned the row's own layer, which every
    // candidate shares: the node's binding goes into a layer of its own.
    MatchPtr c = Match::new_(candidate.match);
    KORVALE_CHECK(bind_node(pattern, *c, t),
                  "graph - match node pattern [src/graph/matches/node:208]");
    return sink(t, std::move(c));
  });
}

// The filter's entries, taken once for a whole scan; nullopt without a
// filter, or when it cannot be read (the scan then reports that per node).
std::optional<PropertyMap::Snapshot> filter_entries(const std::optional<PropertyMap>& filter) {
  if (!filter) return std::nullopt;
  Result<PropertyMap::Snapshot> entries = filter->iter();
  if (!entries) return std::nullopt;
  return std::move(*entries);
}

// The parents of the rows that a scan of one shard makes over one input row.
// Each new row's layer holds its parent's count: were they all made over the
// input row's layer, every pool thread would update that one count twice per
// row (making the row, dropping it), and a scan that binds many nodes would
// spend most of its time waiting for it. Past the first few rows, a shard's
// rows hang instead from an empty layer of the shard's own over the input
// layer. It binds nothing, so every row sees exactly the bindings it would
// see over the input layer.
class ShardParent {
 public:
  const MatchPtr& next(const MatchPtr& input) {
    if (++rows_ <= kDirectRows) return input;
    if (!own_) own_ = Match::new_(input);
    return own_;
  }

 private:
  // Rows made straight over the input layer, so that a selective scan adds
  // no layer to its rows' chains.
  static constexpr std::size_t kDirectRows = 8;
  std::size_t rows_ = 0;
  MatchPtr own_;
};

// B3: every stored node. With a readable filter, a node whose summary shows
// that the filter fails is passed over without reading its map: most nodes of
// a selective filter, which a scan of many nodes would otherwise fetch from
// memory one by one.
Status match_any_node(const Graph& graph, const NodePattern& pattern, const MatchRow& row,
                      Sink sink) {
  const std::optional<PropertyMap::Snapshot> wanted = filter_entries(pattern.properties);
  const PropertySummary required =
      wanted ? PropertySummary::required_by(*wanted) : PropertySummary::none();
  std::vector<ShardParent> parents(graph.node_index.shard_count());
  const Result<bool> scanned = graph.node_index.try_par_scan_where(
      [required](const NodeProperties& stored) { return stored.summary.may_satisfy(required); },
      [&](std::size_t shard, const Uid& n, const NodeProperties& stored) -> Result<Flow> {
        const bool passes = KORVALE_TRY(wanted ? Graph::node_map_matches(stored.map, *wanted)
                                               : node_filter(graph, n, pattern.properties),
                                        "graph - match node pattern [src/graph/matches/node:228]");
        if (!passes) return Flow::Continue;
        MatchPtr c = Match::new_(parents[shard].next(row.match));
        KORVALE_CHECK(bind_node(pattern, *c, n),
                      "graph - match node pattern [src/graph/matches/node:241]");
        if (Status sunk = sink(n, std::move(c)); !sunk) return fail(std::move(sunk.error()));
        return Flow::Continue;
      });
  if (!scanned) return fail(std::move(scanned.error()));
  return {};
}

}  // namespace

Status match_node_row(const Graph& graph, const NodePattern& pattern,
                      const std::optional<ConcreteType>& concrete, const MatchRow& row, Sink sink) {
  assert(!concrete || pattern.type_schema);
  if (pattern.variable) {
    if (const std::optional<MatchElement> bound = row.match->get(*pattern.variable)) {
      return match_bound_node(graph, pattern, *bound, row.match, sink);
    }
  }
  if (pattern.type_schema) return match_by_type(graph, pattern, concrete, row, sink);
  if (pattern.term_schema) return match_by_term(graph, pattern, row, sink);
  return match_any_node(graph, pattern, row, sink);
}

}  // namespace row_steps

Result<MatchSet> Graph::match_node_pattern(const NodePattern& pattern, MatchSet matches) const {
  MatchSet output;
  const std::optional<ConcreteType> concrete = concrete_type(pattern);
  const auto into_output = row_steps::into_set(output);
  Status done = matches.try_par_for([&](const MatchRow& row) {
    return row_steps::match_node_row(*this, pattern, concrete, row, into_output);
  });
  if (!done) return fail(std::move(done.error()));
  return output;
}

CheckResult Graph::check_node_matches(const Uid& uid, const NodePattern& pattern,
                                      MatchPtr m) const {
  static constexpr row_steps::PartLines kLines{"check node matches [src/graph/matches/node:275]",
                                               "check node matches [src/graph/matches/node:286]",
                                               "check node matches [src/graph/matches/node:295]"};
  return row_steps::check_parts(
      *this, uid, pattern, Match::new_(std::move(m)), kLines,
      [&](const PropertyMap& filter) { return check_node_matches_properties(uid, filter); });
}

}  // namespace korvale
