#pragma once
// VISA resource search expressions: `?` any one character; `*` zero or more
// and `+` one or more of the preceding item; `[list]` and `[^list]` with
// ranges; `\` takes the next character literally; `exp|exp` alternatives;
// `( )` groups. The whole name must match; letters match in either case.
//
// Matching runs the expression as a set of states over the name, so its cost
// is at most (name length) x (expression length) whatever the expression;
// groups nest at most kMaxGroupDepth deep.
#include <bitset>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class ResourceExpression {
 public:
  static constexpr int kMaxGroupDepth = 32;
  // viFindRsrc refuses longer expressions rather than scan them without end.
  static constexpr std::size_t kMaxLength = 1024;

  // nullopt for an invalid expression, with the reason in *error when given.
  static std::optional<ResourceExpression> Compile(std::string_view expression,
                                                   std::string* error = nullptr);

  bool Matches(std::string_view resourceName) const;

 private:
  friend class ExpressionCompiler;
  struct State {
    enum class Type { Character, Epsilon, Split, Match };
    Type type = Type::Epsilon;
    std::bitset<256> accepted{};  // for Character
    int next = -1;
    int alternative = -1;  // for Split
  };

  void AddClosure(int state, int step, std::vector<int>& mark, std::vector<int>& pending,
                  std::vector<int>& into) const;

  std::vector<State> states_;
  int start_ = 0;
};

// True when the expression is valid and matches the whole name.
bool MatchResourceExpression(std::string_view expression, std::string_view resourceName);

// True when viFindRsrc would accept the expression; the reason otherwise.
bool IsValidResourceExpression(std::string_view expression, std::string* error = nullptr);

}  // namespace quorvel
