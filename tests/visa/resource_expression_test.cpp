// VISA search expressions: what the meter searches find, and that hostile
// expressions are refused or matched in bounded time.
#include "visa/resource_expression.h"

#include <gtest/gtest.h>

#include <string>

#include "instrument/instrument_session.h"

namespace quorvel {
namespace {

constexpr const char* kDialogSearch = kDialogSearchExpression;
constexpr const char* kPackageSearch = kPackageSearchExpression;

struct MatchCase {
  const char* expression;
  const char* name;
  bool matches;
};

class ResourceExpressionMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ResourceExpressionMatch, MatchesTheWholeName) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(MatchResourceExpression(c.expression, c.name), c.matches)
      << "expression " << c.expression << " name " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    MeterSearches, ResourceExpressionMatch,
    ::testing::Values(MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A35::SN000123::INSTR", true},
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A35::SN000123::0::INSTR", true},
                      MatchCase{kDialogSearch, "usb0::0x1d7c::0x4a35::sn000123::instr", true},
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A35::X::INSTR", true},
                      MatchCase{kDialogSearch, "USB1::0x1D7C::0x4A35::SN000123::INSTR", false},
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A36::SN000123::INSTR", false},
                      MatchCase{kDialogSearch, "USB0::0x0957::0x4A35::SN000123::INSTR", false},
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A351::SN000123::INSTR", false},
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A35::INSTR",
                                true},  // "?*" may match nothing
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A35::SN000123::RAW", false},
                      MatchCase{kDialogSearch, "USB0::0x1D7C::0x4A35::SN000123::INSTR::", false},
                      MatchCase{kDialogSearch, "ASRL1::INSTR", false},
                      MatchCase{kDialogSearch, "", false},
                      MatchCase{kPackageSearch, "USB0::0x1D7C::0x4A35::SN000123::INSTR", true},
                      MatchCase{kPackageSearch, "USB1::0x1D7C::0x4A35::SN000123::INSTR", true},
                      MatchCase{kPackageSearch, "USB7::0x1D7C::0x4A35::SN000124::INSTR", true},
                      MatchCase{kPackageSearch, "USB10::0x1D7C::0x4A35::SN000123::INSTR", false},
                      MatchCase{kPackageSearch, "USBA::0x1D7C::0x4A35::SN000123::INSTR", false},
                      MatchCase{kPackageSearch, "USB::0x1D7C::0x4A35::SN000123::INSTR", false}));

INSTANTIATE_TEST_SUITE_P(
    Syntax, ResourceExpressionMatch,
    ::testing::Values(MatchCase{"?*", "anything at all", true}, MatchCase{"?*", "", true},
                      MatchCase{"?+", "", false}, MatchCase{"USB0", "USB0::X", false},
                      MatchCase{"a*b", "b", true}, MatchCase{"a*b", "aaab", true},
                      MatchCase{"a+b", "b", false}, MatchCase{"a+b", "AAb", true},
                      MatchCase{"[a-c]x", "Bx", true}, MatchCase{"[a-c]x", "dx", false},
                      MatchCase{"[^0]::X", "1::X", true}, MatchCase{"[^0]::X", "0::X", false},
                      MatchCase{"[^a]", "A", false}, MatchCase{"[-a]", "-", true},
                      MatchCase{"[\\]]", "]", true}, MatchCase{"USB\\?", "USB?", true},
                      MatchCase{"USB\\?", "USB1", false}, MatchCase{"a\\*", "a*", true},
                      MatchCase{"a\\*", "aa", false},
                      MatchCase{"ASRL?*INSTR|USB?*INSTR", "USB0::1::INSTR", true},
                      MatchCase{"ASRL?*INSTR|USB?*INSTR", "ASRL1::INSTR", true},
                      MatchCase{"ASRL?*INSTR|USB?*INSTR", "GPIB0::1::INSTR", false},
                      MatchCase{"(GPIB|USB)0::?*", "usb0::x", true},
                      MatchCase{"(GPIB|USB)0::?*", "VXI0::x", false},
                      MatchCase{"(ab)+", "ababab", true}, MatchCase{"(ab)+", "aba", false},
                      MatchCase{"()*x", "x", true}, MatchCase{"a|", "", true}));

TEST(ResourceExpression, RefusesMalformedExpressions) {
  const std::string deepGroups = std::string(40, '(') + "a" + std::string(40, ')');
  for (const std::string expression : {"*USB", "+", "a|*", "[abc", "[]", "[z-a]", "(USB", "USB)",
                                       "USB\\", "[a\\", deepGroups.c_str()}) {
    std::string error;
    EXPECT_FALSE(IsValidResourceExpression(expression, &error)) << expression;
    EXPECT_FALSE(error.empty()) << expression;
    EXPECT_FALSE(MatchResourceExpression(expression, "a")) << expression;
  }
}

TEST(ResourceExpression, AcceptsGroupsUpToTheNestingLimit) {
  const int depth = ResourceExpression::kMaxGroupDepth;
  const std::string expression = std::string(depth, '(') + "a" + std::string(depth, ')');
  EXPECT_TRUE(MatchResourceExpression(expression, "A"));
}

// Expressions that make a backtracking matcher take exponential time.
TEST(ResourceExpression, HostileExpressionsFinishQuickly) {
  const std::string longName(250, 'a');
  EXPECT_FALSE(MatchResourceExpression("(a*)*(a*)*(a*)*(a*)*(a*)*b", longName));
  EXPECT_FALSE(MatchResourceExpression("(?*?*?*?*?*?*?*?*)*b", longName));
  std::string manyStars;
  for (int i = 0; i < 300; ++i) manyStars += "?*";
  EXPECT_TRUE(MatchResourceExpression(manyStars + "a", longName));
  EXPECT_FALSE(MatchResourceExpression(manyStars + "b", longName));
}

}  // namespace
}  // namespace quorvel
