// Path patterns: every input row extended along the whole path, one step per
// node and edge pattern.
//
// A row that passes the first node step goes on along the path at once, on
// the thread that found it, while its node and layer are still in that
// core's cache; a scan that finds a hundred start nodes among 1e5 thus also
// walks their edges on all cores, instead of handing a hundred rows to the
// pool once per step. Each walk keeps its pending rows in a short list of
// its own (no recursion, so a long path costs no stack); rows beyond that
// list, or rows reached on other threads (a node with many edges follows
// them in parallel), go to a shared set per step, which the pool works
// through once the first step is done.
//
// Failures come out as if the steps ran one after another over all rows:
// the first node step's own failure stops everything; otherwise the failure
// of the earliest edge step that failed is returned. Walks skip the steps
// from a failed one on, since their rows could only end in that failure or
// a later one.
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <absl/base/thread_annotations.h>
#include <absl/container/inlined_vector.h>

#include "concurrency/rwlock.hpp"
#include "graph/graph.hpp"
#include "graph/matching/row_steps.hpp"

namespace korvale {
namespace {

// The node at the far end of an edge, tested against the node pattern that
// follows the edge. Its variable, when the row binds it already, must name
// this very node: that is how a path returns to a node, as in (a)-[e]->(a).
Status match_reached_node(const Graph& graph, const NodePattern& pattern, const Uid& reached,
                          MatchPtr m, row_steps::Sink sink) {
  if (!graph.node_index.contains(reached)) {
    return fail(kind::IndexCorruption{"previously matched node should exist in NodeIndex",
                                      "checking node matches pattern [src/graph/matches/path:59]"});
  }
  const std::optional<MatchPtr> fit =
      KORVALE_TRY(graph.check_node_matches(reached, pattern, std::move(m)),
                  "graph - match path pattern [src/graph/matches/path:65]");
  if (!fit) return {};
  const MatchPtr& layer = *fit;
  if (pattern.variable) {
    if (const std::optional<MatchElement> bound = layer->get(*pattern.variable)) {
      const Uid node =
          KORVALE_TRY(bound->as_node(*pattern.variable, "get previously matched element"),
                      "graph - match path pattern [src/graph/matches/path:73]");
      if (node != reached) return {};
    } else {
      KORVALE_CHECK(layer->insert(*pattern.variable, MatchElement::Node{reached}),
                    "graph - match path pattern [src/graph/matches/path:83]");
    }
  }
  return sink(reached, layer);
}

// How many rows one walk keeps pending before it hands further rows to the
// shared sets.
constexpr std::size_t kWalkRows = 32;

// The walks of one input row along the path, and what they share.
class PathWalks {
 public:
  PathWalks(const Graph& graph, const PathPattern& pattern, MatchSet output)
      : graph_(graph),
        pattern_(pattern),
        steps_(pattern.edges.size()),
        output_(std::move(output)),
        failed_step_(steps_) {
    // Rows that have taken edge step i wait in handed_over_[i] for step i + 1;
    // rows past the last step go to the output.
    if (steps_ > 1) handed_over_ = std::make_unique<HandedOver[]>(steps_ - 1);
  }

  // Takes the row (reached, layer) along the path from edge step `step` on.
  // Never fails: a failure is kept for finish().
  void walk(std::size_t step, const Uid& reached, MatchPtr layer) {
    if (step == steps_) {
      output_.insert({next_match_id(), reached, std::move(layer)});
      return;
    }
    thread_local const char this_thread = 0;
    const char* const walker = &this_thread;
    absl::InlinedVector<Pending, 8> pending;
    pending.push_back({step, reached, std::move(layer)});
    while (!pending.empty()) {
      Pending row = std::move(pending.back());
      pending.pop_back();
      if (row.step >= failed_step_.load(std::memory_order_acquire)) continue;
      const std::size_t next = row.step + 1;
      const auto keep = [&](const Uid& node, MatchPtr node_layer) -> Status {
        if (next == steps_) {
          output_.insert({next_match_id(), node, std::move(node_layer)});
        } else if (&this_thread == walker && pending.size() < kWalkRows) {
          pending.push_back({next, node, std::move(node_layer)});
        } else {
          handed_over(row.step).insert({next_match_id(), node, std::move(node_layer)});
        }
        return {};
      };
      const NodePattern& node_pattern = pattern_.nodes[next];
      const auto test_reached = [&](const Uid& node, MatchPtr edge_layer) -> Status {
        KORVALE_CHECK(match_reached_node(graph_, node_pattern, node, std::move(edge_layer), keep),
                      "graph - match path pattern [src/graph/matches/path:96]");
        return {};
      };
      const row_steps::EdgeStepContext context{
          &pattern_.pattern, "graph - match path pattern [src/graph/matches/path:49]"};
      Status done =
          row_steps::match_edge_row(graph_, pattern_.edges[row.step], context,
                                    MatchRow{0, row.reached, std::move(row.layer)}, test_reached);
      if (!done) record(row.step, std::move(done.error()));
    }
  }

  // Walks the rows handed over, a step at a time, then returns the failure
  // of the earliest step that failed, if any.
  Status finish() {
    for (std::size_t i = 0; i + 1 < steps_; ++i) {
      if (i + 1 >= failed_step_.load(std::memory_order_acquire)) break;
      std::optional<MatchSet>& rows = handed_over_[i].rows;
      if (!rows) continue;
      (void)rows->try_par_for([&](const MatchRow& row) -> Status {
        walk(i + 1, row.last_uid, row.match);
        return {};
      });
      rows.reset();
    }
    const MutexLock guard(failure_lock_);
    if (failure_) return fail(std::move(*failure_));
    return {};
  }

 private:
  struct Pending {
    std::size_t step;
    Uid reached;
    MatchPtr layer;
  };

  // Most paths hand nothing over, so a step's set is made on first use.
  struct HandedOver {
    std::once_flag made;
    std::optional<MatchSet> rows;
  };

  MatchSet& handed_over(std::size_t step) {
    HandedOver& handed = handed_over_[step];
    std::call_once(handed.made, [&] { handed.rows.emplace(); });
    return *handed.rows;
  }

  void record(std::size_t step, Report error) {
    const MutexLock guard(failure_lock_);
    if (step >= failed_step_.load(std::memory_order_relaxed)) return;
    failure_ = std::move(error);
    failed_step_.store(step, std::memory_order_release);
  }

  const Graph& graph_;
  const PathPattern& pattern_;
  const std::size_t steps_;
  MatchSet output_;
  std::unique_ptr<HandedOver[]> handed_over_;
  Mutex failure_lock_;
  std::optional<Report> failure_ ABSL_GUARDED_BY(failure_lock_);
  std::atomic<std::size_t> failed_step_;  // steps_: none failed
};

// One input row along the whole path. The rows of the last step go straight
// into `output`, each under a fresh id.
Status match_row(const Graph& graph, const PathPattern& pattern,
                 const std::optional<ConcreteType>& first_concrete, const MatchRow& input,
                 MatchSet& output) {
  PathWalks walks(graph, pattern, output);
  KORVALE_CHECK(row_steps::match_node_row(graph, pattern.nodes[0], first_concrete, input,
                                          [&](const Uid& reached, MatchPtr layer) -> Status {
                                            walks.walk(0, reached, std::move(layer));
                                            return {};
                                          }),
                "graph - match path pattern [src/graph/matches/path:39]");
  return walks.finish();
}

}  // namespace

Result<MatchSet> Graph::match_path_pattern(const PathPattern& pattern, MatchSet matches) const {
  MatchSet output;
  KORVALE_CHECK(pattern.validate(), "graph - match path pattern [src/graph/matches/path:25]");
  const std::optional<ConcreteType> first_concrete = concrete_type(pattern.nodes[0]);
  Status done = matches.try_par_for(
      [&](const MatchRow& row) { return match_row(*this, pattern, first_concrete, row, output); });
  if (!done) return fail(std::move(done.error()));
  return output;
}

}  // namespace korvale
