#include <gtest/gtest.h>

#include "errors/report.hpp"
#include "support/error_debug.hpp"

namespace korvale {
namespace {

Uid uid_of(std::uint8_t fill) {
  Uid uid;
  uid.fill(fill);
  return uid;
}

struct MessageCase {
  const char* name;
  KorvaleError error;
  std::string message;
  ExceptionClass exception;
};

class ErrorMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessageTest, RendersTemplateAndPicksClass) {
  const MessageCase& c = GetParam();
  EXPECT_EQ(error_message(c.error), c.message);
  EXPECT_EQ(exception_class(c.error), c.exception);
}

const std::string kZeros(64, '0');
const std::string kOnes = std::string(64, 'f');

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorMessageTest,
    ::testing::Values(
        MessageCase{
            "TypeMismatch",
            kind::TypeMismatch{"Application Type", "Variable Type", "application creation"},
            "Type Mismatch: expected Application Type, got Variable Type (application creation)",
            ExceptionClass::TypeError},
        MessageCase{"TypeMismatchEmptyContext", kind::TypeMismatch{"A", "B", ""},
                    "Type Mismatch: expected A, got B ()", ExceptionClass::TypeError},
        MessageCase{"TypeMismatchNoContext", kind::TypeMismatch{"A", "B", std::nullopt},
                    "Type Mismatch: expected A, got B", ExceptionClass::TypeError},
        MessageCase{"InvalidPattern", kind::InvalidPattern{"(a", "bad"},
                    "Invalid Pattern; '(a': bad", ExceptionClass::ValueError},
        MessageCase{"SchemaValidation", kind::SchemaValidation{"", "Empty pattern"},
                    "Schema Validation Failed for '': Empty pattern", ExceptionClass::ValueError},
        MessageCase{"InvalidIdentifier", kind::InvalidIdentifier{"1a", "r"},
                    "Invalid Identifier '1a': r", ExceptionClass::ValueError},
        MessageCase{"PythonError", kind::PythonError{"m", "c"}, "Python Error: 'm' (c)",
                    ExceptionClass::RuntimeError},
        MessageCase{"InvalidType", kind::InvalidType{"r"}, "Invalid Type: 'r'",
                    ExceptionClass::TypeError},
        MessageCase{"InvalidTerm", kind::InvalidTerm{"r"}, "Invalid Term: 'r'",
                    ExceptionClass::ValueError},
        MessageCase{"LockError", kind::LockError{"read", "poisoned", "ctx"},
                    "Failed to acquire read lock: 'poisoned' (ctx)", ExceptionClass::RuntimeError},
        MessageCase{"RuntimeError", kind::RuntimeError{"m", std::nullopt},
                    "Something went wrong: 'm'", ExceptionClass::RuntimeError},
        MessageCase{"TypeNotFound", kind::TypeNotFound{uid_of(0), std::nullopt},
                    "Type with Uid: '" + kZeros + "' not found", ExceptionClass::KeyError},
        MessageCase{"TermNotFound", kind::TermNotFound{uid_of(0xff), "c"},
                    "Term with Uid: '" + kOnes + "' not found (c)", ExceptionClass::KeyError},
        MessageCase{"NodeNotFound", kind::NodeNotFound{uid_of(0), std::nullopt},
                    "Node with Uid: '" + kZeros + "' not found", ExceptionClass::KeyError},
        MessageCase{
            "EdgeNotFound", kind::EdgeNotFound{EdgeUid{uid_of(0), uid_of(0xff)}, std::nullopt},
            "Edge with Uid: '(" + kZeros + ", " + kOnes + ")' not found", ExceptionClass::KeyError},
        MessageCase{"VariableNotFound", kind::VariableNotFound{"x", std::nullopt},
                    "Variable not found: 'x'", ExceptionClass::KeyError},
        MessageCase{"VariableAlreadyExists", kind::VariableAlreadyExists{"x", "c"},
                    "Variable already exists: 'x' (c)", ExceptionClass::KeyError},
        MessageCase{"NodeAlreadyExists", kind::NodeAlreadyExists{uid_of(0), std::nullopt},
                    "Node Already Exists: '" + kZeros + "'", ExceptionClass::KeyError},
        MessageCase{
            "ContextConflict", kind::ContextConflict{"x", "Node", "Edge", std::nullopt},
            "Context Conflict: tried to assign variable 'x' currently holding a 'Node' to a 'Edge'",
            ExceptionClass::ValueError},
        MessageCase{"IndexCorruption", kind::IndexCorruption{"m", std::nullopt},
                    "Index Corruption: 'm'", ExceptionClass::IndexError},
        MessageCase{
            "IndexOutOfRange", kind::IndexOutOfRange{12345, 1000000, std::nullopt},
            "Index Out of Range: tried to access index 12345 from an iterable of length 1000000",
            ExceptionClass::KeyError},
        MessageCase{
            "Infallible", kind::Infallible{},
            "FATAL: An infallible error was returned, please contact the developers of the Korvale "
            "Library as this should not occur.",
            ExceptionClass::SystemError},
        MessageCase{"InvalidQuery", kind::InvalidQuery{"q", "r", "c"},
                    "Invalid Query:\nq\n\nReason: r\n(c)", ExceptionClass::ValueError},
        MessageCase{"InvalidQueryNoContext", kind::InvalidQuery{"q", "r", std::nullopt},
                    "Invalid Query:\nq\n\nReason: r", ExceptionClass::ValueError},
        MessageCase{"InvalidNumberOfArguments", kind::InvalidNumberOfArguments{2, 3, std::nullopt},
                    "Invalid Number of Arguments: expected 2, got 3", ExceptionClass::ValueError},
        MessageCase{"ConstantNotFound", kind::ConstantNotFound{"c", "ctx"},
                    "Constant Not Found: 'c' (ctx)", ExceptionClass::KeyError},
        MessageCase{"HexConversionError", kind::HexConversionError{"r", "hex str to uid"},
                    "Hex Conversion Error: 'r' (hex str to uid)", ExceptionClass::ValueError},
        MessageCase{"StackExhausted", kind::StackExhausted{"Type schema"},
                    "Type schema nested too deeply for the thread's stack",
                    ExceptionClass::RecursionError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReportTest, RendersContextLinesNewestFirst) {
  Report report(kind::TypeMismatch{"Application Type", "Variable Type", "application creation"});
  report.attach("term - apply [src/typing/term:42]");
  EXPECT_EQ(format_report(report),
            "Type Mismatch: expected Application Type, got Variable Type (application creation)\n"
            " \u2192 term - apply [src/typing/term:42]");
  report.attach("outer [x:1]");
  EXPECT_EQ(format_report(report),
            "Type Mismatch: expected Application Type, got Variable Type (application creation)\n"
            " \u2192 outer [x:1]\n"
            " \u2192 term - apply [src/typing/term:42]");
}

TEST(ReportTest, WithoutLinesRendersMessageAlone) {
  EXPECT_EQ(format_report(Report(kind::InvalidType{"r"})), "Invalid Type: 'r'");
}

TEST(ReportTest, ChangedKindKeepsEarlierLines) {
  Report report(kind::InvalidIdentifier{"x y", "Name cannot contain whitespace"});
  report.attach("first [a:1]");
  report.change_kind(kind::InvalidPattern{"(x y)", "bad"});
  report.attach("second [a:2]");
  EXPECT_TRUE(std::holds_alternative<kind::InvalidPattern>(report.kind()));
  EXPECT_EQ(format_report(report),
            "Invalid Pattern; '(x y)': bad\n \u2192 second [a:2]\n \u2192 first [a:1]");
}

TEST(ReportTest, InvalidQueryContextOnItsOwnLineThenContextLines) {
  Report report(kind::InvalidQuery{"q", "r", "c"});
  report.attach("query [q:1]");
  EXPECT_EQ(format_report(report), "Invalid Query:\nq\n\nReason: r\n(c)\n \u2192 query [q:1]");
}

TEST(ReportTest, InfallibleFollowedByLines) {
  Report report(kind::Infallible{});
  report.attach("l [x:1]");
  EXPECT_EQ(format_report(report), error_message(kind::Infallible{}) + "\n \u2192 l [x:1]");
}

Result<int> failing() {
  return fail(kind::InvalidType{"inner"});
}
Result<int> passing() {
  return 7;
}

Result<int> twice(bool fail_inner) {
  const int value = KORVALE_TRY(fail_inner ? failing() : passing(), "twice [t:1]");
  return value * 2;
}

TEST(ReportTest, TryAttachesLineOnFailureAndYieldsValueOtherwise) {
  EXPECT_EQ(twice(false).value(), 14);
  auto result = twice(true);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(format_report(result.error()), "Invalid Type: 'inner'\n \u2192 twice [t:1]");
}

TEST(ReportTest, DebugFormNamesVariantAndFields) {
  EXPECT_EQ(testing::error_debug(kind::VariableNotFound{"x", std::nullopt}),
            "VariableNotFound { name: \"x\", context: None }");
  EXPECT_EQ(testing::error_debug(kind::Infallible{}), "Infallible");
  EXPECT_EQ(testing::error_debug(kind::StackExhausted{"Term pattern"}),
            "StackExhausted { what: \"Term pattern\" }");
}

}  // namespace
}  // namespace korvale
