#include "query/query.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "concurrency/parallel.hpp"

namespace korvale {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string map_text(const PropertyMap& map) {
  // A map is poisoned only by an insertion that ended abnormally; the clause
  // text still has to be written (it is quoted in error reports).
  Result<std::string> text = map.to_string();
  return text ? std::move(*text) : std::string("{<unreadable property map>}");
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += names[i];
  }
  return out;
}

std::string set_text(const QueryOperation::Set& clause) {
  return clause.variable + (clause.overwrite ? " = " : " += ") + map_text(clause.properties);
}

// The clause's own context line and the position of its operation line.
struct ClauseLines {
  std::string clause;
  const char* operation_position;
};

ClauseLines lines_of(const QueryOperation& operation) {
  return std::visit(
      Overloaded{
          [](const QueryOperation::Create& c) {
            return ClauseLines{
                "query - execute create - " + c.pattern.pattern + " [src/query/base:123]",
                " [src/query/base:89]"};
          },
          [](const QueryOperation::Match& c) {
            return ClauseLines{
                "query - execute match - " + c.pattern.pattern + " [src/query/base:129]",
                " [src/query/base:95]"};
          },
          [](const QueryOperation::Remove& c) {
            return ClauseLines{
                "query - execute remove - " + joined(c.variables) + " [src/query/base:178]",
                " [src/query/base:101]"};
          },
          [](const QueryOperation::Set& c) {
            return ClauseLines{"query - execute set - " + set_text(c) + " [src/query/base:242]",
                               " [src/query/base:109]"};
          },
      },
      operation.value);
}

}  // namespace

std::string QueryOperation::to_string() const {
  return std::visit(Overloaded{
                        [](const Create& c) { return "CREATE " + c.pattern.pattern; },
                        [](const Match& c) { return "MATCH " + c.pattern.pattern; },
                        [](const Remove& c) { return "REMOVE " + joined(c.variables); },
                        [](const Set& c) { return "SET " + set_text(c); },
                    },
                    value);
}

Query Query::record(QueryOperation operation) {
  operations_.push_back(std::move(operation));
  return Query(graph_, operations_);
}

Result<Query> Query::match(std::string pattern) {
  PathPattern parsed =
      KORVALE_TRY(PathPattern::new_(std::move(pattern)), "query - match [src/query/base:266]");
  return record(QueryOperation{QueryOperation::Match{std::move(parsed)}});
}

Result<Query> Query::create(std::string pattern) {
  PathPattern parsed =
      KORVALE_TRY(PathPattern::new_(std::move(pattern)), "query - create [src/query/base:256]");
  return record(QueryOperation{QueryOperation::Create{std::move(parsed)}});
}

Query Query::remove(std::vector<std::string> variables) {
  return record(QueryOperation{QueryOperation::Remove{std::move(variables)}});
}

Query Query::set(std::string variable, PropertyMap properties, bool overwrite) {
  return record(
      QueryOperation{QueryOperation::Set{std::move(variable), std::move(properties), overwrite}});
}

std::string Query::to_string() const {
  std::string text;
  for (const QueryOperation& operation : operations_) {
    text += operation.to_string();
    text += '\n';
  }
  return text;
}

Result<MatchSet> Query::execute_operations() const {
  MatchSet current = default_match_set();
  for (const QueryOperation& operation : operations_) {
    Status step = std::visit(
        Overloaded{
            [&](const QueryOperation::Create& c) -> Status {
              current = KORVALE_PASS(graph_->create_path(c.pattern, std::move(current)));
              return {};
            },
            [&](const QueryOperation::Match& c) -> Status {
              current = KORVALE_PASS(graph_->match_path_pattern(c.pattern, std::move(current)));
              return {};
            },
            [&](const QueryOperation::Remove& c) { return run_remove(c, current); },
            [&](const QueryOperation::Set& c) { return run_set(c, current); },
        },
        operation.value);
    if (!step) {
      const ClauseLines lines = lines_of(operation);
      return fail(
          std::move(step.error())
              .attach(lines.clause)
              .attach("query - execute operation - " + to_string() + lines.operation_position));
    }
  }
  return current;
}

Status Query::run_remove(const QueryOperation::Remove& clause, const MatchSet& rows) const {
  // One name after the other: the next name's loop starts only once the
  // previous one has finished without error.
  for (const std::string& name : clause.variables) {
    Status removed = remove_name(name, rows);
    if (!removed) return removed;
  }
  return {};
}

Status Query::remove_name(const std::string& name, const MatchSet& rows) const {
  // Rows share the layers of the steps before they branched, so the first
  // row to take a binding out would take it out for its siblings too. Every
  // row's element is therefore read before any binding is taken out: each row
  // that bound the name counts as bound, and each element is removed once.
  const MatchSet::View view = rows.rows();
  std::vector<std::optional<MatchElement>> bound(view.size());
  Status read = try_par_for(view.size(), [&](std::size_t i) -> Status {
    std::optional<MatchElement> element = view[i].match->get(name);
    if (!element) return fail(kind::VariableNotFound{name, "execute remove"});
    if (std::holds_alternative<MatchElement::Type>(element->value())) {
      return fail(kind::InvalidQuery{to_string(), "You cannot remove types from the graph",
                                     "execute remove"});
    }
    if (std::holds_alternative<MatchElement::Term>(element->value())) {
      return fail(kind::InvalidQuery{to_string(), "You cannot remove terms from the graph",
                                     "execute remove"});
    }
    bound[i] = std::move(element);
    return {};
  });
  if (!read) return read;
  // Atomic per layer: of the rows sharing a layer exactly one takes it out.
  Status unbound = try_par_for(view.size(), [&](std::size_t i) -> Status {
    view[i].match->remove(name);
    return {};
  });
  if (!unbound) return unbound;

  std::vector<Uid> nodes;
  std::vector<EdgeUid> edges;
  for (const std::optional<MatchElement>& element : bound) {
    if (const auto* node = std::get_if<MatchElement::Node>(&element->value())) {
      nodes.push_back(node->uid);
    } else {
      edges.push_back(std::get<MatchElement::Edge>(element->value()).uid);
    }
  }
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

  // An element already gone (a node's removal also takes its edges) is no
  // error: the store answers nothing for it.
  Status nodes_removed = try_par_for(nodes.size(), [&](std::size_t i) -> Status {
    Result<std::optional<Uid>> removed = graph_->remove_node(nodes[i]);
    if (!removed) return fail(std::move(removed.error()));
    return {};
  });
  if (!nodes_removed) return nodes_removed;
  return try_par_for(edges.size(), [&](std::size_t i) -> Status {
    Result<std::optional<EdgeUid>> removed = graph_->remove_edge(edges[i]);
    if (!removed) return fail(std::move(removed.error()));
    return {};
  });
}

Status Query::run_set(const QueryOperation::Set& clause, const MatchSet& rows) const {
  // Every element reached gets a handle to the clause's own map, not a copy.
  return rows.try_par_for([&](const MatchRow& row) -> Status {
    std::optional<MatchElement> element = row.match->get(clause.variable);
    if (!element) return fail(kind::VariableNotFound{clause.variable, "execute set"});
    return std::visit(
        Overloaded{
            [&](const MatchElement::Node& node) -> Status {
              KORVALE_CHECK(
                  graph_->set_node_properties(node.uid, clause.properties, clause.overwrite),
                  "query - execute set [src/query/base:204]");
              return {};
            },
            [&](const MatchElement::Edge& edge) -> Status {
              KORVALE_CHECK(
                  graph_->set_edge_properties(edge.uid, clause.properties, clause.overwrite),
                  "query - execute set [src/query/base:211]");
              return {};
            },
            [&](const auto&) -> Status {
              return fail(kind::InvalidQuery{
                  to_string(),
                  "You cannot set the properties of a type, types do not have properties",
                  "execute set"});
            },
        },
        element->value());
  });
}

StoreAccess Query::access() const {
  for (const QueryOperation& operation : operations_) {
    if (!std::holds_alternative<QueryOperation::Match>(operation.value)) return StoreAccess::kWrite;
  }
  return StoreAccess::kRead;
}

// The final set is released before the call ends, so that no part of the call
// outlasts its hold on the store.
Status Query::execute() const {
  const StoreCall call = KORVALE_PASS(StoreCall::enter(*graph_, access()));
  Result<MatchSet> done = execute_operations();
  if (!done) return fail(std::move(done.error()).attach("query - execute [src/query/base:296]"));
  return {};
}

Result<ResultTable> Query::return_(const std::vector<std::string>& variables) const {
  const StoreCall call = KORVALE_PASS(StoreCall::enter(*graph_, access()));
  MatchSet final_set = KORVALE_TRY(execute_operations(), "query - return [src/query/base:309]");
  ResultTable table;
  // A name asked twice is one key, bound to the same element.
  for (const std::string& name : variables) {
    if (std::find(table.names.begin(), table.names.end(), name) == table.names.end()) {
      table.names.push_back(name);
    }
  }
  const MatchSet::View view = final_set.rows();
  const std::size_t width = table.names.size();
  table.row_count = view.size();
  table.cells.resize(view.size() * width, MatchElement::Type{});
  Status collected = try_par_for(
      view.size(),
      [&](std::size_t i) -> Status {
        for (std::size_t column = 0; column < width; ++column) {
          const std::string& name = table.names[column];
          std::optional<MatchElement> element = view[i].match->get(name);
          if (!element) {
            return fail(kind::VariableNotFound{
                name, "query return - data collection [src/query/base:340]"});
          }
          table.cells[i * width + column] = *element;
        }
        return {};
      },
      ItemWork::kTiny);
  if (!collected) return fail(std::move(collected.error()));
  return table;
}

}  // namespace korvale
