// A resource search expression and a resource name, split at the first
// newline, each no longer than the VISA layer lets through. Whatever the
// expression, compiling and matching must end (libFuzzer's
// time-out catches a blow-up) and agree with each other; an expression that
// spells the name out character by character must find it in either case.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "visa/resource_expression.h"
#include "visa/text_case.h"
#include "visa/visa_types.h"

namespace {

using quorvel::MatchResourceExpression;
using quorvel::ResourceExpression;
using quorvel::fuzz::Require;

std::string Literally(std::string_view name) {
  std::string expression;
  for (const char c : name) {
    expression += '\\';
    expression += c;
  }
  return expression;
}

std::string WithCaseSwapped(std::string_view name) {
  std::string swapped(name);
  for (char& c : swapped) c = c == quorvel::ToLowerAscii(c) ? quorvel::ToUpperAscii(c) : quorvel::ToLowerAscii(c);
  return swapped;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string_view expression = input.substr(0, newline);
  const std::string_view name =
      newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1);
  if (expression.size() > ResourceExpression::kMaxLength || name.size() >= quorvel::VI_FIND_BUFLEN) return 0;

  std::string error;
  const auto compiled = ResourceExpression::Compile(expression, &error);
  Require(compiled.has_value() == error.empty());
  Require(compiled.has_value() == quorvel::IsValidResourceExpression(expression));
  if (compiled) {
    const bool matches = compiled->Matches(name);
    Require(matches == MatchResourceExpression(expression, name));
    Require(matches == compiled->Matches(WithCaseSwapped(name)));
    // A group around the whole expression changes nothing (when it still nests).
    const std::string grouped = "(" + std::string(expression) + ")";
    if (const auto inGroup = ResourceExpression::Compile(grouped)) {
      Require(inGroup->Matches(name) == matches);
      if (matches) Require(MatchResourceExpression(grouped + "?*", std::string(name) + "X"));
    }
  }

  const std::string literal = Literally(name);
  Require(MatchResourceExpression(literal, name));
  Require(MatchResourceExpression(literal, WithCaseSwapped(name)));
  Require(!MatchResourceExpression(literal, std::string(name) + "X"));
  return 0;
}
