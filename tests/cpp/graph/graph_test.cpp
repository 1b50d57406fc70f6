#include "graph/graph.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "concurrency/parallel.hpp"
#include "support/graph_helpers.hpp"
#include "support/map_sharing.hpp"
#include "support/on_pool_thread.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::app;
using testing::arrow;
using testing::basic;
using testing::line;
using testing::rendered;
using testing::var;

std::string hex(const Uid& uid) {
  return uid_to_hex(uid);
}

// --- identifiers ------------------------------------------------------------------

struct UidCase {
  const char* label;
  TypeRep rep;
  const char* digest;
};

class GraphUidRule : public ::testing::TestWithParam<UidCase> {};

// Digests computed independently from the byte strings "var:A", "var:Ä" and
// "arr:" + uid(A) + ":" + uid(A).
const Uid kUidA = variable_uid("A");

INSTANTIATE_TEST_SUITE_P(
    Graph, GraphUidRule,
    ::testing::Values(UidCase{"variable", TypeRep{TypeRep::Variable{"A"}},
                              "e7f24fe3effb2e317d3e60e793fbf0cb7ee34a0d4dbcd77205e9965786e36e01"},
                      UidCase{"utf8_name", TypeRep{TypeRep::Variable{"\xc3\x84"}},
                              "41cc1cc4558e0fc211d8cb44a2cdd849c0220c09d0fb294e042ce79804b064a5"},
                      UidCase{"arrow", TypeRep{TypeRep::Arrow{kUidA, kUidA}},
                              "4ac3ab23cc10f3401ac07649af1d6f2c891e87a859db1219cd595e9dacae00d2"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_P(GraphUidRule, DigestOfStoredForm) {
  EXPECT_EQ(hex(GetParam().rep.uid()), GetParam().digest);
}

TEST(GraphUid, TypeAndStoredFormAgree) {
  const TypePtr a = var("A");
  const TypePtr b = var("B");
  const TypePtr nested = arrow(arrow(a, b), arrow(b, a));
  EXPECT_EQ(a->uid(), (TypeRep{TypeRep::Variable{"A"}}.uid()));
  EXPECT_EQ(nested->uid(), (TypeRep{TypeRep::Arrow{arrow(a, b)->uid(), arrow(b, a)->uid()}}.uid()));
  // A structurally equal type made separately has the same identifier; the
  // order of the arrow's parts matters.
  EXPECT_EQ(nested->uid(), arrow(arrow(var("A"), var("B")), arrow(var("B"), var("A")))->uid());
  EXPECT_NE(arrow(a, b)->uid(), arrow(b, a)->uid());
  EXPECT_EQ(nested->uid(), nested->uid());  // the cached value
}

// --- insertion ------------------------------------------------------------------------

TEST(GraphInsert, TypeStoredOnceAndArrowApart) {
  Graph graph;
  const Uid first = graph.insert_type(*var("A"));
  const Uid second = graph.insert_type(*var("A"));
  EXPECT_EQ(first, second);
  EXPECT_EQ(graph.type_index.size(), 1u);
  const Uid arrow_uid = graph.insert_type(*arrow(var("A"), var("A")));
  EXPECT_NE(arrow_uid, first);
  EXPECT_EQ(graph.type_index.size(), 2u);
}

TEST(GraphInsert, TypeStoresEveryPartUnderItsOwnUid) {
  Graph graph;
  const TypePtr type = arrow(arrow(var("A"), var("B")), var("C"));
  const Uid uid = graph.insert_type(*type);
  EXPECT_EQ(uid, type->uid());
  ASSERT_EQ(graph.type_index.size(), 5u);
  const Arrow& outer = *type->as_arrow();
  for (const TypePtr& part : {type, outer.domain, outer.codomain, outer.domain->as_arrow()->domain,
                              outer.domain->as_arrow()->codomain}) {
    const std::optional<TypeRep> rep = graph.type_index.get(part->uid());
    ASSERT_TRUE(rep) << part->to_string();
    EXPECT_EQ(rep->uid(), part->uid());
    if (const Arrow* parts = part->as_arrow()) {
      const auto* stored = rep->as_arrow();
      ASSERT_NE(stored, nullptr);
      EXPECT_EQ(stored->domain, parts->domain->uid());
      EXPECT_EQ(stored->codomain, parts->codomain->uid());
    }
  }
  const auto rebuilt = graph.type_from_uid(uid);
  ASSERT_TRUE(rebuilt) << rendered(rebuilt);
  EXPECT_EQ(**rebuilt, *type);
}

TEST(GraphInsert, TermStoresSubtermsUnderTheirTypesReplacing) {
  Graph graph;
  const TypePtr a = var("A");
  const TypePtr b = var("B");
  const TermPtr f = basic("f", arrow(a, b));
  const TermPtr x = basic("x", a);
  testing::store(graph, *basic("y", a));

  const Uid uid = testing::store(graph, *app(f, x));
  EXPECT_EQ(uid, b->uid());
  EXPECT_EQ(graph.term_index.size(), 3u);
  EXPECT_EQ(graph.type_index.size(), 3u);  // A, B, A -> B
  const std::vector<std::pair<TypePtr, TermPtr>> expected{{arrow(a, b), f}, {a, x}};
  for (const auto& [type, term] : expected) {
    const auto stored = graph.term_from_uid(type->uid());
    ASSERT_TRUE(stored) << rendered(stored);
    EXPECT_EQ(**stored, *term);  // x replaced y
  }
}

TEST(GraphInsert, ApplicationRebuiltFromTheTermsStoredNow) {
  Graph graph;
  const TypePtr a = var("A");
  const TermPtr f = basic("f", arrow(a, var("B")));
  const Uid uid = testing::store(graph, *app(f, basic("x", a)));
  testing::store(graph, *basic("y", a));
  const auto rebuilt = graph.term_from_uid(uid);
  ASSERT_TRUE(rebuilt) << rendered(rebuilt);
  EXPECT_EQ(**rebuilt, *app(f, basic("y", a)));
  EXPECT_EQ(*(*rebuilt)->type(), *var("B"));
}

TEST(GraphInsert, RebuildSharesRepeatedParts) {
  // g : A -> A -> B applied twice to the one term of A: both arguments come
  // from the same entry and are rebuilt once.
  Graph graph;
  const TypePtr a = var("A");
  const TermPtr x = basic("x", a);
  const Uid uid = testing::store(graph, *app(app(basic("g", arrow(a, arrow(a, var("B")))), x), x));
  const auto rebuilt = graph.term_from_uid(uid);
  ASSERT_TRUE(rebuilt) << rendered(rebuilt);
  const Application& outer = *(*rebuilt)->as_application();
  EXPECT_EQ(outer.argument(), outer.function()->as_application()->argument());
}

// --- failures of rebuilding and lookups -------------------------------------------------

struct Store {
  Graph graph;
  TypePtr a = var("A");
  TypePtr b = var("B");
  TypePtr ab = arrow(a, b);
  Uid uid_a = a->uid();
  Uid uid_b = b->uid();
  Uid uid_ab = ab->uid();
};

struct FailureCase {
  const char* label;
  // Prepares the tables (directly, where the case needs a store the
  // operations never make) and returns the rendered outcome.
  std::function<std::string(Store&)> run;
  std::function<std::string(Store&)> expected;
};

class GraphFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GraphFailure, RendersTheReport) {
  Store store;
  const std::string got = GetParam().run(store);
  EXPECT_EQ(got, GetParam().expected(store));
}

// The name rule's report for the stored name, with the rebuild's own line.
std::string bad_name_report() {
  auto refused = Variable::new_("1bad");
  if (refused) return "<accepted>";
  return format_report(
      Report(refused.error()).attach("graph - type from uid [src/graph/base:453]"));
}

const char* kTypeCorruption =
    "Index Corruption: 'type repr points to a uid that does not belong to the index!' (type "
    "from uid)";

INSTANTIATE_TEST_SUITE_P(
    Graph, GraphFailure,
    ::testing::Values(
        FailureCase{"type_never_inserted",
                    [](Store& s) { return rendered(s.graph.type_from_uid(s.uid_a)); },
                    [](Store& s) {
                      return "Type with Uid: '" + hex(s.uid_a) + "' not found (type from uid)";
                    }},
        FailureCase{
            "arrow_part_missing",
            [](Store& s) {
              s.graph.type_index.insert(s.uid_ab, TypeRep{TypeRep::Arrow{s.uid_a, s.uid_b}});
              s.graph.insert_type(*s.a);
              return rendered(s.graph.type_from_uid(s.uid_ab));
            },
            [](Store&) { return std::string(kTypeCorruption); }},
        FailureCase{
            "part_missing_two_levels_down",
            [](Store& s) {
              s.graph.type_index.insert(s.uid_ab, TypeRep{TypeRep::Arrow{s.uid_a, s.uid_b}});
              s.graph.insert_type(*s.a);
              const Uid top = arrow(s.a, s.ab)->uid();
              s.graph.type_index.insert(top, TypeRep{TypeRep::Arrow{s.uid_a, s.uid_ab}});
              return rendered(s.graph.type_from_uid(top));
            },
            [](Store&) { return std::string(kTypeCorruption); }},
        FailureCase{"stored_name_refused",
                    [](Store& s) {
                      s.graph.type_index.insert(s.uid_a, TypeRep{TypeRep::Variable{"1bad"}});
                      return rendered(s.graph.type_from_uid(s.uid_a));
                    },
                    [](Store&) { return bad_name_report(); }},
        FailureCase{"stored_name_refused_inside_arrow",
                    [](Store& s) {
                      s.graph.insert_type(*s.ab);
                      s.graph.type_index.insert(s.uid_b, TypeRep{TypeRep::Variable{"1bad"}});
                      return rendered(s.graph.type_from_uid(s.uid_ab));
                    },
                    [](Store&) { return std::string(kTypeCorruption); }},
        FailureCase{"type_without_term",
                    [](Store& s) {
                      s.graph.insert_type(*s.a);
                      return rendered(s.graph.term_from_uid(s.uid_a));
                    },
                    [](Store& s) {
                      return "Term with Uid: '" + hex(s.uid_a) + "' not found (term from uid)";
                    }},
        FailureCase{"term_without_type",
                    [](Store& s) {
                      s.graph.term_index.insert(s.uid_a, TermRep{TermRep::Basic{"x"}});
                      return rendered(s.graph.term_from_uid(s.uid_a));
                    },
                    [](Store&) {
                      return std::string(
                          "Index Corruption: 'Found a term in the TermIndex without its "
                          "corresponding type in the TypeIndex' (term from uid)");
                    }},
        FailureCase{"term_type_part_missing",
                    [](Store& s) {
                      testing::store(s.graph, *basic("f", s.ab));
                      s.graph.type_index.erase(s.uid_b);
                      return rendered(s.graph.term_from_uid(s.uid_ab));
                    },
                    [](Store&) { return std::string(kTypeCorruption); }},
        FailureCase{"function_part_missing",
                    [](Store& s) {
                      testing::store(s.graph, *app(basic("f", s.ab), basic("x", s.a)));
                      s.graph.term_index.erase(s.uid_ab);
                      return rendered(s.graph.term_from_uid(s.uid_b));
                    },
                    [](Store& s) {
                      return "Term with Uid: '" + hex(s.uid_ab) + "' not found (term from uid)";
                    }},
        FailureCase{"stored_term_name_refused",
                    [](Store& s) {
                      s.graph.insert_type(*s.a);
                      s.graph.term_index.insert(s.uid_a, TermRep{TermRep::Basic{"None"}});
                      return rendered(s.graph.term_from_uid(s.uid_a));
                    },
                    [](Store& s) {
                      auto refused = BasicTerm::new_("None", s.a);
                      return refused ? "<accepted>" : format_report(refused.error());
                    }},
        FailureCase{"argument_of_another_type",
                    [](Store& s) {
                      testing::store(s.graph, *basic("f", s.ab));
                      testing::store(s.graph, *basic("c", var("C")));
                      s.graph.insert_type(*s.b);
                      s.graph.term_index.insert(
                          s.uid_b, TermRep{TermRep::Application{s.uid_ab, var("C")->uid()}});
                      return rendered(s.graph.term_from_uid(s.uid_b));
                    },
                    [](Store&) {
                      return std::string("Type Mismatch: expected A, got C (application creation)");
                    }},
        FailureCase{"edge_type_missing",
                    [](Store& s) {
                      return rendered(s.graph.get_edge_type(EdgeUid{s.uid_a, s.uid_b}));
                    },
                    [](Store& s) {
                      return "Edge with Uid: '(" + hex(s.uid_a) + ", " + hex(s.uid_b) +
                             ")' not found (graph - get edge type)";
                    }},
        FailureCase{"node_properties_missing",
                    [](Store& s) { return rendered(s.graph.node_properties(s.uid_a)); },
                    [](Store& s) {
                      return "Node with Uid: '" + hex(s.uid_a) + "' not found (node properties)";
                    }},
        FailureCase{"edge_properties_missing",
                    [](Store& s) {
                      return rendered(s.graph.edge_properties(EdgeUid{s.uid_b, s.uid_a}));
                    },
                    [](Store& s) {
                      return "Edge with Uid: '(" + hex(s.uid_b) + ", " + hex(s.uid_a) +
                             ")' not found (edge properties)";
                    }}),
    [](const auto& info) { return std::string(info.param.label); });

// An entry under A naming A itself as its argument (a damaged table: the
// store refuses the terms that would leave one) fails to rebuild instead of
// looping.
TEST(GraphSelfReference, RebuildFailsInsteadOfLooping) {
  Graph graph;
  const TypePtr a = var("A");
  const Uid uid = testing::write_self_naming_entry(graph, basic("f", arrow(a, a)));
  EXPECT_EQ(rendered(graph.term_from_uid(uid)),
            "Index Corruption: 'term repr refers to itself through the term of type " + hex(uid) +
                "' (term from uid)");
  // The function's own term is still fine.
  const auto f = graph.term_from_uid(arrow(a, a)->uid());
  ASSERT_TRUE(f) << rendered(f);
  EXPECT_EQ(**f, *basic("f", arrow(a, a)));
}

// --- terms the store refuses ------------------------------------------------------

// A term whose stored entries would name their own type is refused before
// anything is written; parts of one type that only replace each other are not.
struct StorableCase {
  const char* label;
  // Prepares the graph and gives the term to store.
  std::function<TermPtr(Graph&)> setup;
  // The refusal's rendered text, or empty when the term is stored; then
  // `stored` is the text it reads back as.
  std::string refusal;
  std::string stored;
};

class GraphStorableTerm : public ::testing::TestWithParam<StorableCase> {};

std::string refused(const std::string& term, const std::string& type, const std::string& loop) {
  return "Invalid Term: 'the term '" + term + "' of type '" + type +
         "' cannot be stored: the store keeps one term per type, and a term cannot contain a "
         "term of its own type (here one of type '" +
         loop + "')'";
}

INSTANTIATE_TEST_SUITE_P(
    Graph, GraphStorableTerm,
    ::testing::Values(
        StorableCase{"part_of_its_own_type",
                     [](Graph&) {
                       return app(basic("succ", arrow(var("Nat"), var("Nat"))),
                                  basic("zero", var("Nat")));
                     },
                     refused("(succ zero)", "Nat", "Nat"), ""},
        // f (g a0): A names B, whose term g a0 names A.
        StorableCase{"through_another_type",
                     [](Graph&) {
                       const TypePtr a = var("A");
                       const TypePtr b = var("B");
                       return app(basic("f", arrow(b, a)),
                                  app(basic("g", arrow(a, b)), basic("a0", a)));
                     },
                     refused("(f (g a0))", "A", "A"), ""},
        // zero' replaces succ zero's zero and then succ zero itself.
        StorableCase{"replaced_part",
                     [](Graph&) {
                       const TypePtr nat = var("Nat");
                       const TermPtr pair = basic("pair", arrow(nat, arrow(nat, var("P"))));
                       return app(
                           app(pair, app(basic("succ", arrow(nat, nat)), basic("zero", nat))),
                           basic("zero2", nat));
                     },
                     "", "((pair zero2) zero2)"},
        // h (f x), with f x and x the terms the store has rebuilt for B and
        // A: the part is stored already, but the whole rewrites A beneath it.
        StorableCase{"cached_part_beneath_a_rewritten_type",
                     [](Graph& graph) {
                       const TypePtr a = var("A");
                       const TypePtr b = var("B");
                       testing::store(graph, *app(basic("f", arrow(a, b)), basic("x", a)));
                       Result<TermPtr> cached = graph.term_from_uid(b->uid());
                       EXPECT_TRUE(cached) << rendered(cached);
                       return app(basic("h", arrow(b, a)), cached ? *cached : basic("y", b));
                     },
                     refused("(h (f x))", "A", "A"), ""},
        // f x with both parts the store's own: what every derivation stores.
        StorableCase{"cached_parts_of_new_type",
                     [](Graph& graph) {
                       const TypePtr a = var("A");
                       testing::store(graph, *basic("f", arrow(a, var("B"))));
                       testing::store(graph, *basic("x", a));
                       Result<TermPtr> f = graph.term_from_uid(arrow(a, var("B"))->uid());
                       Result<TermPtr> x = graph.term_from_uid(a->uid());
                       EXPECT_TRUE(f && x);
                       return app(*f, *x);
                     },
                     "", "(f x)"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_P(GraphStorableTerm, RefusedBeforeAnythingIsWritten) {
  Graph graph;
  const TermPtr term = GetParam().setup(graph);
  const std::size_t types = graph.type_index.size();
  const std::size_t terms = graph.term_index.size();
  EXPECT_EQ(rendered(graph.check_term_storable(*term)),
            GetParam().refusal.empty() ? "<no error>" : GetParam().refusal);
  Result<Uid> stored = graph.insert_term(*term);
  if (!GetParam().refusal.empty()) {
    EXPECT_EQ(rendered(stored), GetParam().refusal);
    EXPECT_EQ(graph.type_index.size(), types);
    EXPECT_EQ(graph.term_index.size(), terms);
    return;
  }
  ASSERT_TRUE(stored) << rendered(stored);
  Result<std::string> text = graph.term_to_string(*stored);
  ASSERT_TRUE(text) << rendered(text);
  EXPECT_EQ(*text, GetParam().stored);
  Result<TermPtr> rebuilt = graph.term_from_uid(*stored);
  ASSERT_TRUE(rebuilt) << rendered(rebuilt);
  EXPECT_EQ((*rebuilt)->to_string(), GetParam().stored);
}

// A refused term adds no node, and the type then takes a term it can hold.
TEST(GraphStorableTerm, AddNodeRefusesAndTheTypeStaysFree) {
  Graph graph;
  const TypePtr nat = var("Nat");
  const TermPtr succ_zero = app(basic("succ", arrow(nat, nat)), basic("zero", nat));
  EXPECT_EQ(rendered(graph.add_node(nat, succ_zero, PropertyMap())),
            refused("(succ zero)", "Nat", "Nat"));
  EXPECT_EQ(graph.node_index.size(), 0u);
  EXPECT_EQ(graph.type_index.size(), 0u);
  const Result<Uid> added = graph.add_node(nat, basic("zero", nat), PropertyMap());
  ASSERT_TRUE(added) << rendered(added);
  Result<std::string> text = graph.node_to_string(*added);
  ASSERT_TRUE(text) << rendered(text);
  EXPECT_EQ(*text, "Node(Nat:zero {})");
}

// --- lookups ----------------------------------------------------------------------------

TEST(GraphLookup, EdgeTypeIsACopyOfTheIndexEntry) {
  Graph graph;
  const Uid t = graph.insert_type(*arrow(var("A"), var("B")));
  const EdgeUid edge{var("A")->uid(), var("B")->uid()};
  graph.edge_to_type_index.insert(edge, t);
  const auto got = graph.get_edge_type(edge);
  ASSERT_TRUE(got) << rendered(got);
  EXPECT_EQ(*got, t);
  // The reversed pair is another edge.
  EXPECT_FALSE(graph.get_edge_type(EdgeUid{edge.end, edge.start}));
}

TEST(GraphLookup, PropertiesAreTheStoredMapsThemselves) {
  Graph graph;
  const Uid node = graph.insert_type(*var("A"));
  const EdgeUid edge{node, node};
  graph.node_index.insert(node, PropertyMap());
  graph.edge_index.insert(edge, PropertyMap());

  const auto through_node = graph.node_properties(node);
  ASSERT_TRUE(through_node) << rendered(through_node);
  // A merge changes the stored map in place.
  ASSERT_TRUE(graph.set_node_properties(
      node, PropertyMap::from_dict(Dynamic::Dict{{"k", Dynamic::integer(1)}}),
      /*overwrite=*/false));
  const auto node_again = graph.node_properties(node);
  ASSERT_TRUE(node_again) << rendered(node_again);
  EXPECT_TRUE(testing::share_map(*node_again, *through_node));
  const auto value = node_again->get("k");
  ASSERT_TRUE(value && *value);

  const auto edge_map = graph.edge_properties(edge);
  ASSERT_TRUE(edge_map) << rendered(edge_map);
  EXPECT_FALSE(testing::share_map(*edge_map, *through_node));
  const auto edge_again = graph.edge_properties(edge);
  ASSERT_TRUE(edge_again);
  EXPECT_TRUE(testing::share_map(*edge_again, *edge_map));
}

TEST(GraphConstants, TableFilledOnceByName) {
  auto id = Constant::new_("Id", "(x) -> (x)");
  auto pick = Constant::new_("Pick", "(x) -> (y) -> (x)");
  ASSERT_TRUE(id && pick);
  const Graph graph({*id, *pick});
  ASSERT_EQ(graph.constants.size(), 2u);
  ASSERT_NE(graph.constants.find("Pick"), nullptr);
  ASSERT_NE(graph.constants.find("Id"), nullptr);
  EXPECT_EQ(graph.constants.find("Pick")->free_variables, pick->free_variables);
  EXPECT_EQ(graph.constants.find("Id")->type_schema.pattern, id->type_schema.pattern);
  EXPECT_EQ(graph.constants.find("Other"), nullptr);
  EXPECT_TRUE(Graph().constants.empty());
}

// --- deep terms ----------------------------------------------------------------------------

constexpr std::size_t kDeep = testing::kDeepChain;

class GraphDeep : public ::testing::TestWithParam<testing::Side> {};

INSTANTIATE_TEST_SUITE_P(Graph, GraphDeep,
                         ::testing::Values(testing::Side::Function, testing::Side::Argument),
                         [](const auto& info) {
                           return info.param == testing::Side::Function ? "Function" : "Argument";
                         });

// Inserts the chain and checks that it rebuilds; returns a description of the
// first problem, or the empty text.
std::string insert_and_rebuild(Graph& graph, const testing::Chain& chain) {
  const Uid uid = testing::store(graph, *chain.term);
  if (uid != chain.term->type()->uid()) return "insert_term returned another uid";
  auto term = graph.term_from_uid(uid);
  if (!term) return rendered(term);
  if (!(**term == *chain.term)) return "rebuilt term differs";
  const TypePtr& deepest = chain.levels.front();
  auto type = graph.type_from_uid(deepest->uid());
  if (!type) return rendered(type);
  if (!(**type == *deepest)) return "rebuilt type differs";
  return "";
}

TEST_P(GraphDeep, InsertAndRebuildOnASmallStack) {
  const testing::Chain chain = testing::chain(GetParam(), kDeep);
  Graph graph;
  std::string problem = "not run";
  ASSERT_TRUE(testing::run_with_small_stack([&] { problem = insert_and_rebuild(graph, chain); }));
  EXPECT_EQ(problem, "");
  EXPECT_EQ(graph.term_index.size(), 2 * kDeep + 1);
}

TEST_P(GraphDeep, InsertAndRebuildOnPoolThreads) {
  const testing::Chain chain = testing::chain(GetParam(), kDeep);
  Graph graph;
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> elsewhere{0};
  const Status done = try_par_for(4, [&](std::size_t) -> Status {
    if (std::this_thread::get_id() != caller) ++elsewhere;
    const std::string problem = insert_and_rebuild(graph, chain);
    if (!problem.empty()) return fail(kind::RuntimeError{problem, std::nullopt});
    return {};
  });
  EXPECT_TRUE(done) << rendered(done);
  EXPECT_GT(elsewhere.load(), 0);
}

// --- concurrency ------------------------------------------------------------------------------

void run_threads(std::size_t count, const std::function<void(std::size_t)>& body) {
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (std::thread& thread : threads) thread.join();
}

TEST(GraphConcurrency, ThreadsInsertingSameAndDifferentTypesAndTerms) {
  Graph graph;
  constexpr std::size_t kThreads = 8;
  const TypePtr shared = arrow(arrow(var("A"), var("B")), var("C"));  // one object, uid cached once
  run_threads(kThreads, [&](std::size_t i) {
    const std::string own = "T" + std::to_string(i);
    for (int round = 0; round < 50; ++round) {
      graph.insert_type(*shared);
      graph.insert_type(*arrow(var("A"), var(own)));
      testing::store(graph,
                     *app(basic("f", arrow(var("A"), var(own))), basic("a" + own, var("A"))));
    }
  });
  // A, B, C, A -> B, the shared type, and per thread Ti and A -> Ti.
  EXPECT_EQ(graph.type_index.size(), 5 + 2 * kThreads);
  // A, and per thread A -> Ti and Ti; A holds the term of whichever thread wrote last.
  EXPECT_EQ(graph.term_index.size(), 1 + 2 * kThreads);
  for (std::size_t i = 0; i < kThreads; ++i) {
    const auto term = graph.term_from_uid(var("T" + std::to_string(i))->uid());
    ASSERT_TRUE(term) << rendered(term);
  }
}

TEST(GraphConcurrency, RebuildingWhileOthersReplaceTerms) {
  Graph graph;
  const TypePtr a = var("A");
  const TermPtr f = basic("f", arrow(a, var("B")));
  const Uid uid = testing::store(graph, *app(f, basic("x0", a)));
  constexpr std::size_t kWriters = 3;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  run_threads(2 * kWriters, [&](std::size_t i) {
    if (i < kWriters) {
      for (int round = 0; round < 200; ++round) {
        testing::store(graph, *basic("x" + std::to_string(round % 7), a));
        testing::store(graph, *app(f, basic("x" + std::to_string(i), a)));
      }
      stop = true;
      return;
    }
    while (!stop) {
      const auto term = graph.term_from_uid(uid);
      if (!term || (*term)->as_application() == nullptr ||
          !(*(*term)->as_application()->function() == *f)) {
        ++bad;
      }
    }
  });
  EXPECT_EQ(bad.load(), 0);
}

TEST(GraphConcurrency, ManyThreadsAskingOneTypeForItsUid) {
  // A fresh type: every thread finds the cache empty and races to fill it.
  const testing::Chain chain = testing::function_chain(200);
  const TypePtr& type = chain.levels.front();
  const Uid expected = TypeRep{TypeRep::Arrow{var("A1")->uid(), chain.levels[1]->uid()}}.uid();
  std::vector<Uid> seen(8);
  run_threads(seen.size(), [&](std::size_t i) { seen[i] = type->uid(); });
  for (const Uid& uid : seen) EXPECT_EQ(uid, expected);
}

// --- memory ----------------------------------------------------------------------------------

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// A stored node of a named type with no properties and no edges, inserted as
// adding a node does: its type, then its (empty) property map. The incidence
// sets are made only with a node's first edge.
TEST(GraphMemory, BareNodeOfANamedType) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer allocators distort resident memory";
#endif
  constexpr std::size_t kNodes = 1'000'000;
  auto graph = std::make_unique<Graph>();
  const std::size_t before = resident_bytes();
  for (std::size_t i = 0; i < kNodes; ++i) {
    const Uid uid = graph->insert_type(*var("T" + std::to_string(i)));
    graph->node_index.insert(uid, PropertyMap());
  }
  const std::size_t after = resident_bytes();
  ASSERT_EQ(graph->node_index.size(), kNodes);
  const double per_node = static_cast<double>(after - before) / kNodes;
  std::printf("[ memory   ] %.1f bytes per bare node\n", per_node);
  EXPECT_LE(per_node, 600.0);
}

}  // namespace
}  // namespace korvale
