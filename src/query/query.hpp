// Queries: a list of recorded clauses over one store, run in order over one
// match set. Recording only parses; running reads and writes the store, with
// the per-row work on the worker pool. No Python here: the binding layer
// converts arguments into these values and results out of them.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "graph/store_call.hpp"
#include "matches/match_set.hpp"
#include "patterns/path.hpp"
#include "properties/property_map.hpp"
#include "query/reference.hpp"

namespace korvale {

// One recorded clause. Copies share the property maps (a Set clause's map and
// those of the patterns' property blocks).
struct QueryOperation {
  struct Create {
    PathPattern pattern;
  };
  struct Match {
    PathPattern pattern;
  };
  struct Remove {
    std::vector<std::string> variables;  // in call order, repeats kept
  };
  struct Set {
    std::string variable;
    PropertyMap properties;
    bool overwrite = true;
  };
  std::variant<Create, Match, Remove, Set> value;

  // "CREATE p", "MATCH p", "REMOVE a, b", "SET x = {..}" / "SET x += {..}".
  std::string to_string() const;
};

// The rows of a return: each requested name once, and per row the element
// bound to each name, row after row. The binding layer turns an element into
// a reference over the query's store; no per-row allocation here.
struct ResultTable {
  std::vector<std::string> names;
  std::size_t row_count = 0;
  std::vector<MatchElement> cells;  // row_count × names.size(), row-major

  const MatchElement& at(std::size_t row, std::size_t column) const {
    return cells[row * names.size() + column];
  }
};

class Query {
 public:
  explicit Query(GraphPtr graph, std::vector<QueryOperation> operations = {})
      : graph_(std::move(graph)), operations_(std::move(operations)) {}

  const GraphPtr& graph() const { return graph_; }
  const std::vector<QueryOperation>& operations() const { return operations_; }

  // Recording: appends the clause to this query and returns a new query over
  // the same store with a copy of the extended list. match and create parse
  // the pattern first; a parse error records nothing.
  Result<Query> match(std::string pattern);
  Result<Query> create(std::string pattern);
  Query remove(std::vector<std::string> variables);
  Query set(std::string variable, PropertyMap properties, bool overwrite);

  // Every clause text followed by a line feed; empty without clauses.
  std::string to_string() const;

  // Runs the clauses in order from the default set, as one call on the store
  // (store_call.hpp: shared when no clause writes, exclusive otherwise). A
  // failing clause stops the run with its clause line and the operation line
  // (which quotes the query text), and "query - execute"; what earlier clauses
  // and rows of the failing clause stored stays.
  Status execute() const;

  // Runs the clauses as execute does, then collects for every final row the
  // requested names' elements on the pool. A name a row does not bind fails
  // the call with VariableNotFound. Rows in the final set's order; none
  // looked up when the set is empty.
  Result<ResultTable> return_(const std::vector<std::string>& variables) const;

  // kWrite when a create, set or remove clause is recorded.
  StoreAccess access() const;

 private:
  Query record(QueryOperation operation);
  // The clauses' run, inside the caller's StoreCall; returns the final set.
  Result<MatchSet> execute_operations() const;
  Status run_remove(const QueryOperation::Remove& clause, const MatchSet& rows) const;
  Status remove_name(const std::string& name, const MatchSet& rows) const;
  Status run_set(const QueryOperation::Set& clause, const MatchSet& rows) const;

  GraphPtr graph_;
  std::vector<QueryOperation> operations_;
};

}  // namespace korvale
