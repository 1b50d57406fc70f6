// Rows of a query in progress and the process-wide row counter. A row is one
// partial solution: its id, a Uid whose meaning belongs to the set's producer
// (the node a path match reached, the candidate of a schema scan, the last
// named node a creation made), and the layer holding its bindings.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/uid.hpp"
#include "concurrency/parallel.hpp"
#include "errors/report.hpp"
#include "matches/match.hpp"

namespace korvale {

// The process-wide row counter: 0 when the library is loaded, never reset and
// never decremented.
extern constinit std::atomic<std::uint64_t> MATCH_ID_COUNTER;

// One sequentially consistent fetch-and-add of 1 on MATCH_ID_COUNTER; returns
// the value before the addition, so the first id of a process is 0. Ids are
// unique across all sets of the process and say nothing about row order.
std::uint64_t next_match_id();

struct MatchRow {
  std::uint64_t match_id = 0;
  Uid last_uid{};
  MatchPtr match;
};

// A shared handle to a set of rows: copies of a MatchSet share one set. Any
// number of threads may insert at once; the rows have no order. A set is
// filled by its producer and then read: iterating (rows(), try_par_for) must
// not overlap insertions into the same set, since an insertion may move the
// rows already stored.
class MatchSet {
 public:
  // A read-only, random-access view of the rows a set held when the view was
  // taken; it keeps them alive. Positions 0..size()-1 are dense within one
  // view and unrelated to the rows' ids.
  class View {
   public:
    std::size_t size() const { return ends_.empty() ? 0 : ends_.back(); }
    bool empty() const { return size() == 0; }
    const MatchRow& operator[](std::size_t index) const;

   private:
    friend class MatchSet;
    struct Part {
      const MatchRow* rows;
      std::size_t count;
    };
    std::shared_ptr<const void> keep_alive_;
    std::vector<Part> parts_;
    std::vector<std::size_t> ends_;  // running total of the parts' counts
  };

  // A new, empty set.
  MatchSet();

  // Adds a row. Thread-safe; rows are expected to carry fresh ids from
  // next_match_id, which is what keeps them apart.
  void insert(MatchRow row);

  // The number of rows; exact once the insertions have finished.
  std::size_t size() const;
  bool empty() const { return size() == 0; }

  View rows() const;

  // Runs body(const MatchRow&) -> Status for every row on the worker pool
  // (inline for a few rows); after the first failure no further row starts
  // and one report is returned.
  template <class Body>
  Status try_par_for(Body&& body) const {
    const View view = rows();
    return korvale::try_par_for(
        view.size(), [&](std::size_t i) { return body(view[i]); }, ItemWork::kLight);
  }

 private:
  struct Storage;
  std::shared_ptr<Storage> storage_;
};

// A new set with exactly one row: a fresh id, 32 zero bytes as last_uid and a
// new root layer with no bindings. Every query execution starts from it.
MatchSet default_match_set();

}  // namespace korvale
