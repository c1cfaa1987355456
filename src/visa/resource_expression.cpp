#include "visa/resource_expression.h"

#include <utility>

#include "visa/text_case.h"

namespace quorvel {

using CharacterSet = std::bitset<256>;

namespace {

std::size_t Index(char c) { return static_cast<unsigned char>(c); }

CharacterSet Single(char c) {
  CharacterSet set;
  set.set(Index(c));
  return set;
}

// Adds the other case of every letter in the set.
CharacterSet FoldCase(CharacterSet set) {
  for (int c = 'a'; c <= 'z'; ++c) {
    const auto lower = static_cast<std::size_t>(c);
    const auto upper = static_cast<std::size_t>(c - 'a' + 'A');
    if (set.test(lower) || set.test(upper)) {
      set.set(lower);
      set.set(upper);
    }
  }
  return set;
}

}  // namespace

// Builds the state graph (Thompson's construction) while parsing. A fragment
// is a piece of graph with one entry and a list of dangling exits that the
// next piece gets connected to.
class ExpressionCompiler {
 public:
  ExpressionCompiler(std::string_view text, std::vector<ResourceExpression::State>& states)
      : text_(text), states_(states) {}

  // The start state, or nullopt with the reason in error().
  std::optional<int> Compile() {
    std::optional<Fragment> whole = Alternatives(0);
    if (!whole) return std::nullopt;
    if (!AtEnd()) return Fail("unmatched ')'");
    Connect(*whole, Add({.type = Type::Match}));
    return whole->entry;
  }

  const std::string& error() const { return error_; }

 private:
  using State = ResourceExpression::State;
  using Type = State::Type;
  struct Exit {
    int state;
    bool alternative;  // the Split's second way out
  };
  struct Fragment {
    int entry;
    std::vector<Exit> exits;
  };

  bool AtEnd() const { return position_ >= text_.size(); }
  char Peek() const { return text_[position_]; }

  std::nullopt_t Fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason) + " at position " + std::to_string(position_);
    return std::nullopt;
  }

  int Add(State state) {
    states_.push_back(state);
    return static_cast<int>(states_.size() - 1);
  }

  void Connect(const Fragment& fragment, int target) {
    for (const Exit& exit : fragment.exits) {
      State& state = states_[static_cast<std::size_t>(exit.state)];
      (exit.alternative ? state.alternative : state.next) = target;
    }
  }

  Fragment Consume(const CharacterSet& set) {
    const int state = Add({.type = Type::Character, .accepted = set});
    return {state, {{state, false}}};
  }

  std::optional<Fragment> Alternatives(int depth) {
    std::optional<Fragment> result = Sequence(depth);
    while (result && !AtEnd() && Peek() == '|') {
      ++position_;
      std::optional<Fragment> other = Sequence(depth);
      if (!other) return std::nullopt;
      const int split =
          Add({.type = Type::Split, .next = result->entry, .alternative = other->entry});
      result->entry = split;
      result->exits.insert(result->exits.end(), other->exits.begin(), other->exits.end());
    }
    return result;
  }

  std::optional<Fragment> Sequence(int depth) {
    const int entry = Add({.type = Type::Epsilon});
    Fragment sequence{entry, {{entry, false}}};
    while (!AtEnd() && Peek() != '|' && Peek() != ')') {
      std::optional<Fragment> item = Repeated(depth);
      if (!item) return std::nullopt;
      Connect(sequence, item->entry);
      sequence.exits = std::move(item->exits);
    }
    return sequence;
  }

  std::optional<Fragment> Repeated(int depth) {
    std::optional<Fragment> atom = Atom(depth);
    while (atom && !AtEnd() && (Peek() == '*' || Peek() == '+')) {
      const bool atLeastOnce = Peek() == '+';
      ++position_;
      const int loop = Add({.type = Type::Split, .next = atom->entry});
      Connect(*atom, loop);
      atom = Fragment{atLeastOnce ? atom->entry : loop, {{loop, true}}};
    }
    return atom;
  }

  std::optional<Fragment> Atom(int depth) {
    const char c = Peek();
    ++position_;
    switch (c) {
      case '?':
        return Consume(CharacterSet{}.set());
      case '*':
      case '+':
        --position_;
        return Fail(std::string("'") + c + "' has nothing to repeat");
      case '\\':
        if (AtEnd()) return Fail("'\\' at the end");
        return Consume(FoldCase(Single(text_[position_++])));
      case '[':
        return List();
      case '(':
        return Group(depth + 1);
      default:
        return Consume(FoldCase(Single(c)));
    }
  }

  std::optional<Fragment> Group(int depth) {
    if (depth > ResourceExpression::kMaxGroupDepth) return Fail("groups nested too deeply");
    std::optional<Fragment> inner = Alternatives(depth);
    if (!inner) return std::nullopt;
    if (AtEnd() || Peek() != ')') return Fail("missing ')'");
    ++position_;
    return inner;
  }

  // After '[': members, ranges a-z, '^' first to negate, '\' escapes; up to ']'.
  std::optional<Fragment> List() {
    const bool negated = !AtEnd() && Peek() == '^';
    if (negated) ++position_;
    CharacterSet set;
    bool empty = true;
    for (;;) {
      if (AtEnd()) return Fail("missing ']'");
      if (Peek() == ']') break;
      const std::optional<char> low = ListCharacter();
      if (!low) return std::nullopt;
      char high = *low;
      if (position_ + 1 < text_.size() && Peek() == '-' && text_[position_ + 1] != ']') {
        ++position_;
        const std::optional<char> end = ListCharacter();
        if (!end) return std::nullopt;
        high = *end;
        if (Index(high) < Index(*low)) return Fail("range runs backwards");
      }
      for (std::size_t member = Index(*low); member <= Index(high); ++member) set.set(member);
      empty = false;
    }
    ++position_;  // the ']'
    if (empty) return Fail("empty list");
    set = FoldCase(set);
    return Consume(negated ? ~set : set);
  }

  std::optional<char> ListCharacter() {
    if (Peek() != '\\') return text_[position_++];
    ++position_;
    if (AtEnd()) return Fail("'\\' at the end");
    return text_[position_++];
  }

  std::string_view text_;
  std::size_t position_ = 0;
  std::vector<ResourceExpression::State>& states_;
  std::string error_;
};

std::optional<ResourceExpression> ResourceExpression::Compile(std::string_view expression,
                                                              std::string* error) {
  ResourceExpression compiled;
  ExpressionCompiler compiler(expression, compiled.states_);
  const std::optional<int> start = compiler.Compile();
  if (!start) {
    if (error != nullptr) *error = compiler.error();
    return std::nullopt;
  }
  compiled.start_ = *start;
  return compiled;
}

// Adds the consuming and final states reachable from `state` without reading
// a character. `mark` holds, per state, the last step that reached it, so no
// state is visited twice in a step. Iterative, so long chains of groups cannot
// exhaust the stack; `pending` is scratch space kept between calls.
void ResourceExpression::AddClosure(int state, int step, std::vector<int>& mark,
                                    std::vector<int>& pending, std::vector<int>& into) const {
  pending.assign(1, state);
  while (!pending.empty()) {
    const int current = pending.back();
    pending.pop_back();
    if (current < 0 || mark[static_cast<std::size_t>(current)] == step) continue;
    mark[static_cast<std::size_t>(current)] = step;
    const State& s = states_[static_cast<std::size_t>(current)];
    switch (s.type) {
      case State::Type::Character:
      case State::Type::Match:
        into.push_back(current);
        break;
      case State::Type::Split:
        pending.push_back(s.alternative);
        pending.push_back(s.next);
        break;
      case State::Type::Epsilon:
        pending.push_back(s.next);
        break;
    }
  }
}

bool ResourceExpression::Matches(std::string_view resourceName) const {
  std::vector<int> mark(states_.size(), -1);
  std::vector<int> pending;
  std::vector<int> active;
  std::vector<int> next;
  int step = 0;
  AddClosure(start_, step, mark, pending, active);
  for (const char c : resourceName) {
    ++step;
    next.clear();
    for (const int state : active) {
      const State& s = states_[static_cast<std::size_t>(state)];
      if (s.type == State::Type::Character && s.accepted.test(Index(c))) {
        AddClosure(s.next, step, mark, pending, next);
      }
    }
    if (next.empty()) return false;
    active.swap(next);
  }
  for (const int state : active) {
    if (states_[static_cast<std::size_t>(state)].type == State::Type::Match) return true;
  }
  return false;
}

bool MatchResourceExpression(std::string_view expression, std::string_view resourceName) {
  const auto compiled = ResourceExpression::Compile(expression);
  return compiled && compiled->Matches(resourceName);
}

bool IsValidResourceExpression(std::string_view expression, std::string* error) {
  return ResourceExpression::Compile(expression, error).has_value();
}

}  // namespace quorvel
