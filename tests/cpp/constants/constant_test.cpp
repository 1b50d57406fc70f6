#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "constants/constant.hpp"
#include "constants/constant_table.hpp"

namespace korvale {
namespace {

using Names = std::vector<std::string>;

struct Declared {
  std::string name;
  std::string schema;
  Names free_variables;
};

class DeclaredConstantTest : public ::testing::TestWithParam<Declared> {};

TEST_P(DeclaredConstantTest, KeepsNameAndTextAndCollectsFreeVariables) {
  auto constant = Constant::new_(GetParam().name, GetParam().schema);
  ASSERT_TRUE(constant.has_value()) << format_report(constant.error());
  EXPECT_EQ(constant->name, GetParam().name);
  EXPECT_EQ(constant->type_schema.pattern, GetParam().schema);
  EXPECT_EQ(constant->free_variables, GetParam().free_variables);
}

INSTANTIATE_TEST_SUITE_P(
    Constants, DeclaredConstantTest,
    ::testing::Values(Declared{"id", "(a: *) -> a", Names{"a"}},
                      Declared{"pair", "(a: *) -> (a: *)", Names{"a", "a"}},
                      Declared{"k", " (a: *) -> (b: (c: *) -> *) ", Names{"a", "c", "b"}},
                      Declared{"v", "(v: (w: A))", Names{"w", "v"}},
                      Declared{"zero", "Nat", Names{}},
                      // The name is not checked here: terms made from it are.
                      Declared{"", "*", Names{}}, Declared{"two words", "A", Names{}},
                      Declared{"9", "A -> A", Names{}}, Declared{"None", "A", Names{}}));

struct Refused {
  std::string schema;
  std::string report;
};

class RefusedConstantTest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedConstantTest, PassesTheSchemaReportOnUnchanged) {
  auto constant = Constant::new_("c", GetParam().schema);
  ASSERT_FALSE(constant.has_value());
  EXPECT_EQ(format_report(constant.error()), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Constants, RefusedConstantTest,
    ::testing::Values(
        Refused{"",
                "Schema Validation Failed for '': Empty pattern\n"
                " \u2192 type schema - new [src/patterns/type_schema:38]\n"
                " \u2192 type schema - parse pattern [src/patterns/type_schema:48]"},
        Refused{"(A",
                "Schema Validation Failed for '(A': Unbalanced parentheses: too many opening "
                "parentheses\n"
                " \u2192 type schema - new [src/patterns/type_schema:38]\n"
                " \u2192 type schema - parse pattern [src/patterns/type_schema:46]"},
        Refused{"None",
                "Invalid Identifier 'None': 'None' is a reserved name\n"
                " \u2192 type schema - new [src/patterns/type_schema:38]\n"
                " \u2192 type schema - parse pattern [src/patterns/type_schema:48]\n"
                " \u2192 type schema - parse pattern recursive [src/patterns/type_schema:163]"}));

TEST(ConstantTest, CopiesAreIndependentValues) {
  auto original = Constant::new_("id", "(a: *) -> a");
  ASSERT_TRUE(original.has_value());
  Constant copy = *original;
  copy.name = "other";
  copy.free_variables.push_back("b");
  EXPECT_EQ(original->name, "id");
  EXPECT_EQ(original->free_variables, Names{"a"});
  EXPECT_EQ(copy.type_schema.pattern, "(a: *) -> a");
}

// A table's constants as "name:schema", in its order.
Names table_entries(const ConstantTable& table) {
  Names entries;
  for (const Constant& constant : table) {
    entries.push_back(constant.name + ":" + constant.type_schema.pattern);
  }
  return entries;
}

struct Tabled {
  std::vector<std::pair<std::string, std::string>> declared;
  Names entries;
};

class ConstantTableTest : public ::testing::TestWithParam<Tabled> {};

TEST_P(ConstantTableTest, KeepsDeclarationOrderAndFindsEachNamesLastConstant) {
  std::vector<Constant> declared;
  for (const auto& [name, schema] : GetParam().declared) {
    declared.push_back(*Constant::new_(name, schema));
  }
  const ConstantTable table(std::move(declared));
  ASSERT_EQ(table_entries(table), GetParam().entries);
  for (std::size_t i = 0; i < table.size(); ++i) {
    ASSERT_EQ(table.find(table[i].name), &table[i]) << table[i].name;
  }
  EXPECT_EQ(table.find("absent"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Declarations, ConstantTableTest,
    ::testing::Values(Tabled{{}, Names{}},
                      Tabled{{{"b", "B"}, {"a", "A"}, {"c", "C"}}, Names{"b:B", "a:A", "c:C"}},
                      // A name given again moves to its last place, with its last schema.
                      Tabled{{{"x", "X1"}, {"y", "Y"}, {"x", "X2"}}, Names{"y:Y", "x:X2"}},
                      Tabled{{{"x", "X1"}, {"x", "X2"}, {"y", "Y"}, {"x", "X3"}, {"z", "Z"}},
                             Names{"y:Y", "x:X3", "z:Z"}},
                      Tabled{{{"x", "X1"}, {"y", "Y1"}, {"y", "Y2"}, {"x", "X2"}},
                             Names{"y:Y2", "x:X2"}}));

}  // namespace
}  // namespace korvale
