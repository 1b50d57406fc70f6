#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "constants/constant.hpp"
#include "graph/graph.hpp"
#include "support/graph_helpers.hpp"
#include "support/on_pool_thread.hpp"
#include "support/report_lines.hpp"
#include "support/store_fixtures.hpp"

namespace korvale {
namespace {

using testing::app;
using testing::arrow;
using testing::basic;
using testing::edge_of;
using testing::edges_in;
using testing::props;
using testing::rendered;
using testing::same_term;
using testing::stored_term;
using testing::text_of;
using testing::uid_of;
using testing::var;

class DerivationTest : public ::testing::Test {
 protected:
  Graph graph;
  TypePtr a = var("A");
  TypePtr b = var("B");
  TypePtr b1 = var("B1");
  TypePtr b2 = var("B2");
  TermPtr x = basic("x", a);

  void add(const TypePtr& type, const TermPtr& term = nullptr) {
    Result<Uid> uid = graph.add_node(type, term, PropertyMap());
    ASSERT_TRUE(uid.has_value()) << rendered(uid);
  }
  EdgeUid edge(const TermPtr& term) {
    Result<EdgeUid> added = graph.add_edge(term, PropertyMap());
    EXPECT_TRUE(added.has_value()) << rendered(added);
    return added ? *added : EdgeUid{};
  }
};

TEST_F(DerivationTest, AnInhabitedStartGivesTheEndTheApplication) {
  add(a, x);
  add(b);
  const TermPtr f = basic("f", arrow(a, b));
  edge(f);
  EXPECT_TRUE(same_term(stored_term(graph, *b), app(f, x)));
  EXPECT_EQ(graph.edge_index.size(), 1u);
}

TEST_F(DerivationTest, NothingDerivesFromAnUninhabitedStart) {
  add(a);
  add(b);
  edge(basic("f", arrow(a, b)));
  EXPECT_EQ(stored_term(graph, *b), nullptr);
}

TEST_F(DerivationTest, AnInhabitedEndKeepsItsTerm) {
  add(a, x);
  add(b, basic("y", b));
  edge(basic("f", arrow(a, b)));
  EXPECT_TRUE(same_term(stored_term(graph, *b), basic("y", b)));
}

TEST_F(DerivationTest, AnEdgeToItselfNeverDerives) {
  add(a, x);
  const TermPtr s = basic("s", arrow(a, a));
  const EdgeUid loop = edge(s);
  EXPECT_EQ(loop, (EdgeUid{uid_of(*a), uid_of(*a)}));
  EXPECT_TRUE(same_term(stored_term(graph, *a), x));
  EXPECT_EQ(graph.edge_index.size(), 1u);
}

TEST_F(DerivationTest, AnArrowCodomainBecomesAnEdgeBetweenNewNodes) {
  const TypePtr b1_to_b2 = arrow(b1, b2);
  add(a, x);
  add(b1_to_b2);
  const TermPtr f = basic("f", arrow(a, b1_to_b2));
  const EdgeUid first = edge(f);
  EXPECT_EQ(first, edge_of(*arrow(a, b1_to_b2)));

  const TermPtr fx = app(f, x);
  EXPECT_TRUE(same_term(stored_term(graph, *b1_to_b2), fx));
  // The derived edge and its nodes, each with new empty properties.
  const EdgeUid derived = edge_of(*b1_to_b2);
  ASSERT_TRUE(graph.edge_index.contains(derived));
  EXPECT_EQ(text_of(*graph.edge_properties(derived)), "{}");
  EXPECT_EQ(text_of(*graph.node_properties(uid_of(*b1))), "{}");
  EXPECT_EQ(text_of(*graph.node_properties(uid_of(*b2))), "{}");
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*b1)), std::vector<EdgeUid>{derived});
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*b2)), std::vector<EdgeUid>{derived});
  // B1 has no term, so the chain ends there.
  EXPECT_EQ(stored_term(graph, *b1), nullptr);
  EXPECT_EQ(stored_term(graph, *b2), nullptr);
  EXPECT_EQ(graph.edge_index.size(), 2u);
}

TEST_F(DerivationTest, ADerivedEdgeDerivesAgainFromAnInhabitedStart) {
  const TypePtr b1_to_b2 = arrow(b1, b2);
  const TermPtr y = basic("y", b1);
  add(a, x);
  add(b1, y);  // B2 has no node yet: the derivation adds it
  add(b1_to_b2);
  const TermPtr f = basic("f", arrow(a, b1_to_b2));
  edge(f);
  EXPECT_TRUE(same_term(stored_term(graph, *b2), app(app(f, x), y)));
  EXPECT_TRUE(graph.node_index.contains(uid_of(*b2)));
  // B1's node was there: its properties are not replaced.
  EXPECT_EQ(graph.node_index.size(), 4u);
}

TEST_F(DerivationTest, AChainDerivesOneEdgePerArrowLevel) {
  const TypePtr c = var("C");
  const TypePtr d = var("D");
  const TypePtr c_to_d = arrow(c, d);
  const TypePtr b_to_c_to_d = arrow(b, c_to_d);
  const TermPtr y = basic("y", b);
  const TermPtr z = basic("z", c);
  add(a, x);
  add(b, y);
  add(c, z);
  add(b_to_c_to_d);
  const TermPtr f = basic("f", arrow(a, b_to_c_to_d));
  edge(f);
  EXPECT_TRUE(same_term(stored_term(graph, *d), app(app(app(f, x), y), z)));
  EXPECT_TRUE(graph.edge_index.contains(edge_of(*b_to_c_to_d)));
  EXPECT_TRUE(graph.edge_index.contains(edge_of(*c_to_d)));
  EXPECT_EQ(graph.edge_index.size(), 3u);
}

TEST_F(DerivationTest, ANewNodeGetsTheTermTheConstantsGiveItsType) {
  Graph with_constants(std::vector<Constant>{*Constant::new_("k", "*")});
  const TypePtr b1_to_b2 = arrow(b1, b2);
  ASSERT_TRUE(with_constants.add_node(a, x, PropertyMap()).has_value());
  ASSERT_TRUE(with_constants.add_node(b1_to_b2, nullptr, PropertyMap()).has_value());
  const TermPtr f = basic("f", arrow(a, b1_to_b2));
  ASSERT_TRUE(with_constants.add_edge(f, PropertyMap()).has_value());
  EXPECT_TRUE(same_term(stored_term(with_constants, *b1), basic("k", b1)));
  // B2 got k as well when its node was added, so (f x) k derives nothing.
  EXPECT_TRUE(same_term(stored_term(with_constants, *b2), basic("k", b2)));
}

TEST_F(DerivationTest, AFailingStepEndsTheAddKeepingWhatWasStored) {
  // The constants give B1 a term whose name the term rule refuses.
  Graph refusing(std::vector<Constant>{*Constant::new_("None", "B1")});
  const TypePtr b1_to_b2 = arrow(b1, b2);
  ASSERT_TRUE(refusing.add_node(a, x, PropertyMap()).has_value());
  ASSERT_TRUE(refusing.add_node(b1_to_b2, nullptr, PropertyMap()).has_value());
  const TermPtr f = basic("f", arrow(a, b1_to_b2));
  Result<EdgeUid> added = refusing.add_edge(f, PropertyMap());
  ASSERT_FALSE(added.has_value());
  EXPECT_EQ(rendered(added), "Invalid Identifier 'None': 'None' is a reserved name" +
                                 testing::line("graph - infer term [src/graph/base:849]") +
                                 testing::line("basic term - new [src/typing/term:64]"));
  EXPECT_TRUE(refusing.edge_index.contains(edge_of(*arrow(a, b1_to_b2))));
  EXPECT_TRUE(same_term(stored_term(refusing, *b1_to_b2), app(f, x)));
  EXPECT_FALSE(refusing.node_index.contains(uid_of(*b1)));
}

// An entry that names its own type (a damaged table: the store refuses such
// terms) must not make a derivation from it loop.
TEST_F(DerivationTest, ATermThatNamesItsOwnTypeEnds) {
  testing::write_self_naming_entry(graph, basic("s", arrow(a, a)));
  add(a);
  add(b);
  Result<EdgeUid> added = graph.add_edge(basic("f", arrow(a, b)), PropertyMap());
  EXPECT_EQ(rendered(added),
            "Index Corruption: 'term repr refers to itself through the term of "
            "type " +
                uid_to_hex(uid_of(*a)) + "' (term from uid)");
  // The edge was in before the derivation failed, and stays.
  EXPECT_TRUE(graph.edge_index.contains(edge_of(*arrow(a, b))));
  EXPECT_FALSE(graph.term_index.contains(uid_of(*b)));
}

// A type nested a few hundred arrows deep, every domain inhabited: the chain
// derives one edge per level, on a thread with a small stack.
TEST_F(DerivationTest, ADeepChainDerivesWithinASmallStack) {
  constexpr int kLevels = 300;
  std::vector<TypePtr> domains;
  for (int i = 0; i < kLevels; ++i) domains.push_back(var("D" + std::to_string(i)));
  TypePtr type = var("End");
  for (int i = kLevels - 1; i >= 0; --i) type = arrow(domains[i], type);
  for (int i = 0; i < kLevels; ++i) add(domains[i], basic("d" + std::to_string(i), domains[i]));
  add(type->as_arrow()->codomain);
  const TermPtr f = basic("f", type);
  bool added = false;
  ASSERT_TRUE(
      testing::run_with_small_stack([&] { added = graph.add_edge(f, PropertyMap()).has_value(); }));
  EXPECT_TRUE(added);
  EXPECT_EQ(graph.edge_index.size(), static_cast<std::size_t>(kLevels));
  EXPECT_TRUE(graph.term_index.contains(uid_of(*var("End"))));
}

}  // namespace
}  // namespace korvale
