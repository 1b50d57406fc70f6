#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "concurrency/parallel.hpp"
#include "graph/graph.hpp"
#include "support/graph_helpers.hpp"
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

template <class T>
std::string text_or_report(const Result<T>& result) {
  return result ? *result : "<failed> " + format_report(result.error());
}

// --- types and terms ----------------------------------------------------------------

struct TypeTextCase {
  const char* label;
  std::function<TypePtr()> type;
  const char* text;
};

class GraphTypeText : public ::testing::TestWithParam<TypeTextCase> {};

TEST_P(GraphTypeText, PrintsFromTheStoredForm) {
  Graph graph;
  const Uid uid = graph.insert_type(*GetParam().type());
  EXPECT_EQ(text_or_report(graph.type_to_string(uid)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Graph, GraphTypeText,
    ::testing::Values(TypeTextCase{"variable", [] { return var("A"); }, "A"},
                      TypeTextCase{"arrow", [] { return arrow(var("A"), var("A")); }, "(A -> A)"},
                      TypeTextCase{"left_nested",
                                   [] { return arrow(arrow(var("A"), var("B")), var("C")); },
                                   "((A -> B) -> C)"},
                      TypeTextCase{"right_nested",
                                   [] { return arrow(var("A"), arrow(var("B"), var("C"))); },
                                   "(A -> (B -> C))"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(GraphTermText, ApplicationsNestLeftAndShowTheTermsStoredNow) {
  Graph graph;
  const TypePtr a = var("A");
  const TypePtr b = var("B");
  const TermPtr f = basic("f", arrow(a, arrow(b, var("C"))));
  const Uid uid = testing::store(graph, *app(app(f, basic("x", a)), basic("y", b)));
  EXPECT_EQ(text_or_report(graph.term_to_string(uid)), "((f x) y)");
  EXPECT_EQ(text_or_report(graph.term_to_string(a->uid())), "x");
  testing::store(graph, *basic("z", a));  // replaces x, the argument stored inside
  EXPECT_EQ(text_or_report(graph.term_to_string(uid)), "((f z) y)");
}

// --- nodes and edges --------------------------------------------------------------------

TEST(GraphNodeText, WithTermWithoutTermAndWithProperties) {
  Graph graph;
  const Uid a = graph.insert_type(*var("A"));
  graph.node_index.insert(a, PropertyMap());
  EXPECT_EQ(text_or_report(graph.node_to_string(a)), "Node(A: {})");
  testing::store(graph, *basic("a", var("A")));
  EXPECT_EQ(text_or_report(graph.node_to_string(a)), "Node(A:a {})");
  Dynamic::Dict entries;
  entries.emplace("name", Dynamic::string("n"));
  entries.emplace("k", Dynamic::integer(1));
  graph.node_index.insert(a, PropertyMap::from_dict(std::move(entries)));
  EXPECT_EQ(text_or_report(graph.node_to_string(a)), "Node(A:a {k: 1, name: \"n\"})");
}

TEST(GraphEdgeText, TypeTermAndProperties) {
  Graph graph;
  const TypePtr ab = arrow(var("A"), var("B"));
  const Uid t = testing::store(graph, *basic("f", ab));
  const EdgeUid edge{var("A")->uid(), var("B")->uid()};
  graph.edge_index.insert(edge, PropertyMap());
  graph.edge_to_type_index.insert(edge, t);
  EXPECT_EQ(text_or_report(graph.edge_to_string(edge)), "Edge((A -> B):f {})");
}

// --- failures ------------------------------------------------------------------------------

struct Store {
  Graph graph;
  TypePtr a = var("A");
  TypePtr b = var("B");
  TypePtr ab = arrow(a, b);
  Uid uid_a = a->uid();
  Uid uid_b = b->uid();
  Uid uid_ab = ab->uid();
  EdgeUid edge{uid_a, uid_b};
};

struct TextFailureCase {
  const char* label;
  std::function<std::string(Store&)> run;       // prepares the tables, returns the outcome
  std::function<std::string(Store&)> expected;  // the rendered report
};

class GraphTextFailure : public ::testing::TestWithParam<TextFailureCase> {};

TEST_P(GraphTextFailure, RendersTheReport) {
  Store store;
  const std::string got = GetParam().run(store);
  EXPECT_EQ(got, GetParam().expected(store));
}

std::string type_not_found(const Uid& uid) {
  return "Type with Uid: '" + hex(uid) + "' not found (type to string)";
}
std::string term_not_found(const Uid& uid) {
  return "Term with Uid: '" + hex(uid) + "' not found (term to string)";
}

INSTANTIATE_TEST_SUITE_P(
    Graph, GraphTextFailure,
    ::testing::Values(
        TextFailureCase{"type_missing",
                        [](Store& s) { return rendered(s.graph.type_to_string(s.uid_a)); },
                        [](Store& s) { return type_not_found(s.uid_a); }},
        TextFailureCase{"domain_missing",
                        [](Store& s) {
                          s.graph.insert_type(*s.ab);
                          s.graph.type_index.erase(s.uid_a);
                          return rendered(s.graph.type_to_string(s.uid_ab));
                        },
                        [](Store& s) {
                          return type_not_found(s.uid_a) +
                                 line("graph - type to string [src/graph/base:655]");
                        }},
        TextFailureCase{"codomain_missing_one_level_down",
                        [](Store& s) {
                          const TypePtr outer = arrow(s.b, s.ab);
                          s.graph.insert_type(*outer);
                          s.graph.type_index.erase(s.uid_b);
                          return rendered(s.graph.type_to_string(outer->uid()));
                        },
                        // The domain B fails first, directly under the outer arrow.
                        [](Store& s) {
                          return type_not_found(s.uid_b) +
                                 line("graph - type to string [src/graph/base:655]");
                        }},
        TextFailureCase{"codomain_missing_inside_codomain",
                        [](Store& s) {
                          const TypePtr outer = arrow(s.a, s.ab);
                          s.graph.insert_type(*outer);
                          s.graph.type_index.erase(s.uid_b);
                          return rendered(s.graph.type_to_string(outer->uid()));
                        },
                        // Innermost level first: B is the codomain of A -> B, which
                        // is the codomain of the outer arrow.
                        [](Store& s) {
                          return type_not_found(s.uid_b) +
                                 line("graph - type to string [src/graph/base:657]") +
                                 line("graph - type to string [src/graph/base:657]");
                        }},
        TextFailureCase{"term_missing",
                        [](Store& s) {
                          s.graph.insert_type(*s.a);
                          return rendered(s.graph.term_to_string(s.uid_a));
                        },
                        [](Store& s) { return term_not_found(s.uid_a); }},
        TextFailureCase{"function_missing",
                        [](Store& s) {
                          testing::store(s.graph, *app(basic("f", s.ab), basic("x", s.a)));
                          s.graph.term_index.erase(s.uid_ab);
                          return rendered(s.graph.term_to_string(s.uid_b));
                        },
                        [](Store& s) {
                          return term_not_found(s.uid_ab) +
                                 line("graph - term to string [src/graph/base:678]");
                        }},
        TextFailureCase{"argument_missing",
                        [](Store& s) {
                          testing::store(s.graph, *app(basic("f", s.ab), basic("x", s.a)));
                          s.graph.term_index.erase(s.uid_a);
                          return rendered(s.graph.term_to_string(s.uid_b));
                        },
                        [](Store& s) {
                          return term_not_found(s.uid_a) +
                                 line("graph - term to string [src/graph/base:680]");
                        }},
        TextFailureCase{"term_refers_to_itself",
                        // Under A, an application naming A as its argument (a
                        // damaged table).
                        [](Store& s) {
                          testing::write_self_naming_entry(s.graph, basic("f", arrow(s.a, s.a)));
                          return rendered(s.graph.term_to_string(s.uid_a));
                        },
                        [](Store& s) {
                          return "Index Corruption: 'term repr refers to itself through the "
                                 "term of type " +
                                 hex(s.uid_a) + "' (term to string)" +
                                 line("graph - term to string [src/graph/base:680]");
                        }},
        TextFailureCase{"node_missing",
                        [](Store& s) {
                          testing::store(s.graph, *basic("a", s.a));
                          return rendered(s.graph.node_to_string(s.uid_a));
                        },
                        [](Store& s) {
                          return "Node with Uid: '" + hex(s.uid_a) + "' not found (node to string)";
                        }},
        TextFailureCase{"node_type_missing",
                        [](Store& s) {
                          s.graph.node_index.insert(s.uid_a, PropertyMap());
                          return rendered(s.graph.node_to_string(s.uid_a));
                        },
                        [](Store& s) {
                          return type_not_found(s.uid_a) +
                                 line("graph - node to string [src/graph/base:699]");
                        }},
        TextFailureCase{"node_term_unprintable_is_left_out",
                        [](Store& s) {
                          testing::store(s.graph, *app(basic("f", s.ab), basic("x", s.a)));
                          s.graph.term_index.erase(s.uid_a);
                          s.graph.node_index.insert(s.uid_b, PropertyMap());
                          return text_or_report(s.graph.node_to_string(s.uid_b));
                        },
                        [](Store&) { return std::string("Node(B: {})"); }},
        TextFailureCase{"edge_missing",
                        [](Store& s) { return rendered(s.graph.edge_to_string(s.edge)); },
                        [](Store& s) {
                          return "Edge with Uid: '(" + hex(s.uid_a) + ", " + hex(s.uid_b) +
                                 ")' not found (edge to string)";
                        }},
        TextFailureCase{"edge_without_type_entry",
                        [](Store& s) {
                          s.graph.edge_index.insert(s.edge, PropertyMap());
                          return rendered(s.graph.edge_to_string(s.edge));
                        },
                        [](Store&) {
                          return std::string(
                              "Index Corruption: 'missing entry of edge that appears in the "
                              "EdgeIndex but not in the EdgeToTypeIndex' (edge to string)");
                        }},
        TextFailureCase{"edge_type_unprintable",
                        [](Store& s) {
                          s.graph.edge_index.insert(s.edge, PropertyMap());
                          s.graph.edge_to_type_index.insert(s.edge, s.uid_ab);
                          return rendered(s.graph.edge_to_string(s.edge));
                        },
                        [](Store& s) {
                          return type_not_found(s.uid_ab) +
                                 line("graph - edge to string [src/graph/base:724]");
                        }},
        TextFailureCase{"edge_term_missing",
                        [](Store& s) {
                          s.graph.insert_type(*s.ab);
                          s.graph.edge_index.insert(s.edge, PropertyMap());
                          s.graph.edge_to_type_index.insert(s.edge, s.uid_ab);
                          return rendered(s.graph.edge_to_string(s.edge));
                        },
                        [](Store& s) {
                          return term_not_found(s.uid_ab) +
                                 line("graph - edge to string [src/graph/base:726]");
                        }}),
    [](const auto& info) { return std::string(info.param.label); });

// --- deep terms ----------------------------------------------------------------------------

constexpr std::size_t kDeep = testing::kDeepChain;

class GraphDeepText : public ::testing::TestWithParam<testing::Side> {};

INSTANTIATE_TEST_SUITE_P(Graph, GraphDeepText,
                         ::testing::Values(testing::Side::Function, testing::Side::Argument),
                         [](const auto& info) {
                           return info.param == testing::Side::Function ? "Function" : "Argument";
                         });

// Prints the chain's term and its deepest type; the first problem, or "".
std::string print_chain(const Graph& graph, const testing::Chain& chain, testing::Side side) {
  const auto term = graph.term_to_string(chain.term->type()->uid());
  if (!term) return rendered(term);
  if (*term != testing::chain_text(side, kDeep)) return "term text differs";
  const TypePtr& deepest = chain.levels.front();
  const auto type = graph.type_to_string(deepest->uid());
  if (!type) return rendered(type);
  if (*type != deepest->to_string()) return "type text differs";
  return "";
}

TEST_P(GraphDeepText, PrintsOnASmallStackAndOnPoolThreads) {
  const testing::Chain chain = testing::chain(GetParam(), kDeep);
  Graph graph;
  testing::store(graph, *chain.term);
  std::string problem = "not run";
  ASSERT_TRUE(
      testing::run_with_small_stack([&] { problem = print_chain(graph, chain, GetParam()); }));
  EXPECT_EQ(problem, "");
  const Status pooled = try_par_for(4, [&](std::size_t) -> Status {
    const std::string found = print_chain(graph, chain, GetParam());
    if (!found.empty()) return fail(kind::RuntimeError{found, std::nullopt});
    return {};
  });
  EXPECT_TRUE(pooled) << rendered(pooled);
}

// A part missing at the bottom: one line for every level above it, all naming
// the side the chain grows on.
TEST_P(GraphDeepText, FailureDeepInsideGetsALinePerLevel) {
  const testing::Chain chain = testing::chain(GetParam(), kDeep);
  Graph graph;
  testing::store(graph, *chain.term);
  const Uid bottom = chain.levels.front()->uid();  // f's type, or x's type A0
  graph.term_index.erase(bottom);
  Result<std::string> text = fail(kind::Infallible{});
  ASSERT_TRUE(testing::run_with_small_stack(
      [&] { text = graph.term_to_string(chain.term->type()->uid()); }));
  ASSERT_FALSE(text);
  EXPECT_EQ(error_message(text.error().kind()), term_not_found(bottom));
  const std::vector<std::string>& lines = text.error().context_lines();
  ASSERT_EQ(lines.size(), kDeep);
  const std::string expected = GetParam() == testing::Side::Function
                                   ? "graph - term to string [src/graph/base:678]"
                                   : "graph - term to string [src/graph/base:680]";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), expected), static_cast<long>(kDeep));
}

// --- concurrency ------------------------------------------------------------------------------

TEST(GraphTextConcurrency, ReadersPrintWhileWritersReplaceTerms) {
  Graph graph;
  const TypePtr a = var("A");
  const TermPtr f = basic("f", arrow(a, var("B")));
  const Uid node = testing::store(graph, *app(f, basic("x0", a)));
  graph.insert_type(*var("B"));
  graph.node_index.insert(node, PropertyMap());
  constexpr int kNames = 5;
  std::set<std::string> allowed;
  for (int i = 0; i < kNames; ++i) allowed.insert("Node(B:(f x" + std::to_string(i) + ") {})");
  std::atomic<int> writers_left{2};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < 300; ++round) {
        const std::string name = "x" + std::to_string((round + w) % kNames);
        if (round % 2 == 0) {
          testing::store(graph, *basic(name, a));
        } else {
          testing::store(graph, *app(f, basic(name, a)));
        }
      }
      --writers_left;
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (writers_left.load() > 0) {
        const auto text = graph.node_to_string(node);
        if (!text || !allowed.contains(*text)) ++bad;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace korvale
