// Fuzz target for the element engine.
//
// The input bytes describe a grammar (every kind, nested, with recursion
// through Forward) and a well-formed UTF-8 text. Every single-text scan the
// module runs is replayed here at engine level, and the answers are held to
// what the engine promises:
//   - a match ends at or after where it started and at or before the end,
//     and a non-empty match found from a character boundary ends on one;
//   - `parse_impl` and `try_match_at` give the same answer wherever the
//     grammar holds no OneOrMore reached by a parse (only there may the two
//     differ on an empty first repetition);
//   - a match starts with one of the element's start bytes (or is empty
//     where the element may match empty);
//   - `parse_from_start` is `parse_impl` where leading whitespace ends, and
//     its tokens made in a token arena equal the plain ones;
//   - every token is well-formed UTF-8, a slice token lies within the text,
//     and a kind whose token is the matched text gives exactly that text;
//   - the counting scan and the listing scan agree when no match was empty;
//   - the scans as the module runs them (within one operation, so SkipTo
//     keeps its answers, and passing over positions by start bytes) give
//     the plain scans' answers;
//   - the whole-text scanners of Word, Literal, Keyword and Regex (vector
//     kernels, period shortcuts, the dense-match shortcut, byte tables)
//     give the plain scan's answers.
// Deep and recursive grammars are also run on a thread with a small stack,
// where they must give up cleanly.
//
// Each input's work is bounded: once it has used a budget of engine steps,
// the interrupt hook stops its runs, and every later run of it gives up at
// once. A run stopped so gives up as one that ran out of stack. Of a run that
// gave up, for either reason, only what still holds is checked: it is memory
// safe and leaks nothing, and where it succeeded all the same (an
// alternative or repetition swallowed the give-up) its tokens are well
// formed. Its answer is compared with no other run's, and a scan that met a
// give-up is compared with no other scan.
//
// A violated promise aborts, so the fuzzer keeps the input. Sanitizers
// catch memory faults and leaks (Forward cycles are cut before the grammar
// goes).
//
// The same file builds without libFuzzer: fuzz/replay_main.cpp then runs it
// over files, which is how the seed corpus stays a regression test.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>
#include <re2/re2.h>

#include "elements/call_scope.hpp"
#include "elements/chars.hpp"
#include "elements/element.hpp"
#include "elements/find.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/positional.hpp"
#include "elements/regex_run.hpp"
#include "elements/regex_scan.hpp"
#include "elements/start_scan.hpp"
#include "elements/structure.hpp"
#include "elements/target_memo.hpp"
#include "elements/word_scan.hpp"

namespace quernlet::fuzz {
namespace {

// ---------------------------------------------------------------------------
// Reading the input.

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // The next byte, 0 once the input is used up.
  std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
  bool empty() const noexcept { return pos_ >= size_; }
  // A value in [0, n) (n >= 1).
  unsigned pick(unsigned n) noexcept { return byte() % n; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The characters texts and element arguments are made of: ASCII letters and
// digits, the four whitespace bytes, NUL, quotes and backslash, Latin-1
// letters (two bytes, inside Word's code-point sets), and three- and
// four-byte characters (outside them).
constexpr std::string_view kUnits[] = {
    "a",  "b",  "x",  "A",  "1",       "_",  " ",
    "\n", "\t", "\r", "\f", {"\0", 1}, "\"", "'",
    "\\", "-",  "é",  "ü",  "É",       "€",  "\xF0\x9F\x98\x80",
    "«",  ".",  "ab",
};
constexpr unsigned kUnitCount = sizeof kUnits / sizeof kUnits[0];

// Regular-expression pieces; a pattern is one or two of them, so some
// combinations are refused by the compiler, which is checked too.
// clang-format off
constexpr std::string_view kPatterns[] = {
    "a", "a+", "[ab]", "\\s+", "\\w+", "é+", ".", "a*", "(a|b)*x", "^a", "\\bx", "[^a]",
    "(?i)A", "", "\\d{2,3}", "x$", "[é€]", "(a*)*", "\\pL+", ".*?x", "\\C", "a\\C", "(?s).",
    "[^\\n]*", "\\x00", "(", "\\Qa.b", "a)|(b", "[", "ab|a", "\\B", "[a-z]+", "\\S",
    "(?:é|€)+", "😀",
    // Single-character atoms with one greedy run, which scan on byte tables.
    "[A-Za-z_][A-Za-z0-9_]*", "[0-9]+", "\"[^\"\\n]*\"", "\\d+x", "a\\s*b", "[^a]+", ".+",
    "\\S+", "\\W+", "x[ab]*", "-?\\d+",
};
// clang-format on
constexpr unsigned kPatternCount = sizeof kPatterns / sizeof kPatterns[0];

// At most this many bytes of text, so one input cannot stall the run; long
// enough for the scanners' long-text paths (vector blocks, periods, the
// dense-match shortcut from 4096 bytes).
constexpr std::size_t kMaxText = 6000;
// How much of it the grammar's own scans read (see `Scans`).
constexpr std::size_t kMaxScanText = 512;
constexpr std::size_t kMaxSkipToScanText = 160;
// Size limits of the grammar.
constexpr unsigned kMaxNodes = 64;
constexpr unsigned kMaxDepth = 10;
constexpr unsigned kMaxForwards = 4;
// Towers: their height, lower with MatchFirst branches (whose expanded tree
// grows with the square of the height), and the text they get, which only
// needs to exercise the depth.
constexpr unsigned kMaxTower = 3000;
constexpr unsigned kMaxBranchedTower = 300;
constexpr std::size_t kMaxTowerText = 256;

std::string read_units(Input& in, unsigned max_units) {
  std::string s;
  const unsigned n = in.pick(max_units + 1);
  for (unsigned i = 0; i < n; ++i) s += kUnits[in.pick(kUnitCount)];
  return s;
}

// `s` in double quotes, with bytes outside printable ASCII escaped.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    }
  }
  return out + "\"";
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "engine invariant violated: %s\n", what);
    std::abort();
  }
}

// ---------------------------------------------------------------------------
// The work budget.
//
// The engine asks the interrupt hook once every kInterruptPeriod steps
// (container entries and loop rounds). Some grammars backtrack for a minute
// over a short text, which is what they ask for but stalls the fuzzer; so an
// input may run the engine for this many periods (8M steps, a second or two
// with the sanitizers; inputs seen so far need under a thousand), after which
// the hook stops every run of the input. A run stopped so gives up as one
// that ran out of stack does.
constexpr std::uint64_t kInterruptBudget = 2000;

// Periods used by the current input. Runs are sequential, but the
// small-stack thread runs some of them.
std::atomic<std::uint64_t> interrupt_calls{0};

bool budget_spent() noexcept {
  return interrupt_calls.load(std::memory_order_relaxed) >= kInterruptBudget;
}

// Clears the thread's give-up flag for a new run, or sets it once the
// input's budget is spent, so that every later run gives up at once.
void start_run() noexcept {
  take_too_deep();
  if (budget_spent()) note_too_deep();
}

bool interrupt_hook() noexcept {
  if (budget_spent()) return true;
  interrupt_calls.fetch_add(1, std::memory_order_relaxed);
  return false;
}

// ---------------------------------------------------------------------------
// Building the grammar.

struct Grammar {
  ElementHandle root;
  // Every Forward, so that cycles through them can be cut at the end.
  std::vector<Ref<const ForwardElement>> forwards;
  // Leaves with whole-text scanners of their own.
  std::vector<Ref<const WordElement>> words;
  std::vector<Ref<const LiteralElement>> literals;
  std::vector<Ref<const KeywordElement>> keywords;
  std::vector<Ref<const RegexElement>> regexes;
  // Whether a OneOrMore may be reached through `parse_impl`.
  bool divergent = false;
  // Whether the grammar holds a tower of containers. A tower is there for
  // its depth; the scans over every position, which would multiply its
  // cost by the text's length, are skipped.
  bool towers = false;
  // Whether it holds a SkipTo: the plain scans, which run outside an
  // operation and so search for its target afresh from every start, then
  // read a shorter text.
  bool skip_to = false;
  // The grammar, one node a line, for reading a finding.
  std::string description;

  Grammar() = default;
  Grammar(const Grammar&) = delete;
  Grammar& operator=(const Grammar&) = delete;
  ~Grammar() {
    for (const auto& f : forwards) f->set(nullptr);
  }
};

class Builder {
 public:
  Builder(Input& in, Grammar& g) : in_(in), g_(g) {}

  // `tested` is true below a Suppress or as a SkipTo target, where children
  // are only ever match-tested.
  ElementHandle build(unsigned depth, bool tested) {
    ++nodes_;
    const bool leaf_only = depth >= kMaxDepth || nodes_ >= kMaxNodes || in_.empty();
    const unsigned kind = leaf_only ? in_.pick(15) : in_.pick(29);
    switch (kind) {
      case 0:
        return keep(g_.literals, Ref<LiteralElement>::make(arg(depth, "Literal", 3)));
      case 1:
        return Ref<CaselessLiteralElement>::make(arg(depth, "CaselessLiteral", 3));
      case 2:
        return keep(g_.keywords, Ref<KeywordElement>::make(arg(depth, "Keyword", 3)));
      case 3:
        return Ref<CaselessKeywordElement>::make(arg(depth, "CaselessKeyword", 3));
      case 4:
        return Ref<CharElement>::make(arg(depth, "Char", 4));
      case 5: {
        const std::string init = arg(depth, "Word", 4);
        if (in_.pick(2)) return keep(g_.words, Ref<WordElement>::make(init, nullptr));
        const std::string body = arg(depth, "  body", 4);
        const std::string_view body_view = body;
        return keep(g_.words, Ref<WordElement>::make(init, &body_view));
      }
      case 6: {
        std::string pattern(kPatterns[in_.pick(kPatternCount)]);
        if (in_.pick(3) == 0) pattern += kPatterns[in_.pick(kPatternCount)];
        note(depth, "Regex " + quoted(pattern));
        std::string error;
        Ref<RegexElement> re = RegexElement::compile(pattern, error);
        if (!re) {
          check(!error.empty(), "a refused pattern comes with an error text");
          return Ref<EmptyElement>::make();
        }
        return keep(g_.regexes, std::move(re));
      }
      case 7: {
        const std::string quote = arg(depth, "QuotedString", 1);
        const std::string esc = arg(depth, "  esc", 1);
        const std::string_view esc_view = esc;
        const unsigned flags = in_.byte();
        note(depth, "  flags (esc, multiline, unquote) " + std::to_string(flags & 7));
        return Ref<QuotedStringElement>::make(quote, (flags & 1) ? &esc_view : nullptr,
                                              (flags & 2) != 0, (flags & 4) != 0);
      }
      case 8:
        return plain<RestOfLineElement>(depth, "rest_of_line");
      case 9:
        return plain<EmptyElement>(depth, "Empty");
      case 10:
        return plain<NoMatchElement>(depth, "NoMatch");
      case 11:
        return plain<LineStartElement>(depth, "LineStart");
      case 12:
        return plain<LineEndElement>(depth, "LineEnd");
      case 13:
        if (in_.pick(2)) return plain<StringStartElement>(depth, "StringStart");
        return plain<StringEndElement>(depth, "StringEnd");
      case 14:
        return forward_ref(depth);
      case 15:
      case 16:
        note(depth, "And");
        return Ref<AndElement>::make(children(depth, tested));
      case 17:
      case 18:
        note(depth, "MatchFirst");
        return Ref<MatchFirstElement>::make(children(depth, tested));
      case 19:
        note(depth, "Optional");
        return Ref<OptionalElement>::make(build(depth + 1, tested));
      case 20:
        note(depth, "ZeroOrMore");
        return Ref<ZeroOrMoreElement>::make(build(depth + 1, tested));
      case 21:
        note(depth, "OneOrMore");
        if (!tested) g_.divergent = true;
        return Ref<OneOrMoreElement>::make(build(depth + 1, tested));
      case 22: {
        const std::uint8_t c = in_.byte();
        const std::uint64_t count = c == 255 ? ~std::uint64_t{0} : c % 5;
        note(depth, "Exactly " + std::to_string(count));
        return Ref<ExactlyElement>::make(build(depth + 1, tested), count);
      }
      case 23:
        note(depth, "Group");
        return Ref<GroupElement>::make(build(depth + 1, tested));
      case 24:
        note(depth, "Suppress");
        return Ref<SuppressElement>::make(build(depth + 1, true));
      case 25:
        note(depth, "Combine");
        // Combine's match test runs its own parse, so its child is parsed.
        return Ref<CombineElement>::make(build(depth + 1, false));
      case 26: {
        // One SkipTo a path, and no tower below it: a SkipTo tries its
        // target from every later start, so nesting multiplies the cost.
        if (in_skip_to_) {
          note(depth, "Optional (no SkipTo in a SkipTo)");
          return Ref<OptionalElement>::make(build(depth + 1, tested));
        }
        note(depth, "SkipTo");
        g_.skip_to = true;
        in_skip_to_ = true;
        ElementHandle target = build(depth + 1, true);
        in_skip_to_ = false;
        return Ref<SkipToElement>::make(std::move(target));
      }
      case 27:
        return new_forward(depth);
      default:
        if (in_tower_ || in_skip_to_) {
          note(depth, "Empty (no tower here)");
          return Ref<EmptyElement>::make();
        }
        return tower(depth);
    }
  }

 private:
  template <class T>
  ElementHandle keep(std::vector<Ref<const T>>& list, Ref<T> e) {
    list.push_back(e);
    return e;
  }

  // A kind built without arguments, noted by its name.
  template <class Kind>
  ElementHandle plain(unsigned depth, const char* name) {
    note(depth, name);
    return Ref<Kind>::make();
  }

  // Records one node in the grammar's description.
  void note(unsigned depth, const std::string& what) {
    g_.description.append(2 * depth, ' ');
    g_.description += what;
    g_.description += '\n';
  }
  std::string arg(unsigned depth, const char* name, unsigned max_units) {
    std::string s = read_units(in_, max_units);
    note(depth, std::string(name) + " " + quoted(s));
    return s;
  }

  std::vector<ElementHandle> children(unsigned depth, bool tested) {
    std::vector<ElementHandle> out;
    const unsigned n = in_.pick(5);
    for (unsigned i = 0; i < n; ++i) out.push_back(build(depth + 1, tested));
    return out;
  }

  // A Forward whose inner element may refer back to it. Its inner element
  // can be reached from anywhere, so a OneOrMore inside counts as reached
  // by a parse.
  ElementHandle new_forward(unsigned depth) {
    if (g_.forwards.size() >= kMaxForwards) {
      note(depth, "Empty (no more Forwards)");
      return Ref<EmptyElement>::make();
    }
    auto f = Ref<ForwardElement>::make();
    note(depth, "Forward #" + std::to_string(g_.forwards.size()));
    g_.forwards.push_back(f);
    if (in_.pick(8) != 0) f->set(build(depth + 1, false));
    return f;
  }

  // One of the Forwards made so far (those still being filled included, so
  // this is how recursion arises), or an unset one.
  ElementHandle forward_ref(unsigned depth) {
    if (g_.forwards.empty()) {
      note(depth, "Forward (unset)");
      return Ref<ForwardElement>::make();
    }
    const unsigned k = in_.pick(static_cast<unsigned>(g_.forwards.size()));
    note(depth, "-> Forward #" + std::to_string(k));
    return g_.forwards[k];
  }

  // A child wrapped in a long run of single-child containers, in a repeated
  // pattern of one to four kinds, so that the nesting grows by one to four
  // levels per step. With branches the result is a chain of MatchFirsts,
  // one per step, whose first alternative is the chain so far and whose
  // second is the tower at that height: deep on both paths.
  ElementHandle tower(unsigned depth) {
    const unsigned raw_height = in_.byte() | (in_.byte() << 8);
    const unsigned period = 1 + in_.pick(4);
    std::uint8_t kinds[4];
    for (unsigned i = 0; i < period; ++i) kinds[i] = in_.byte();
    const bool branch = in_.pick(2);
    const unsigned height = 1 + raw_height % (branch ? kMaxBranchedTower : kMaxTower);
    g_.towers = true;
    std::string shape;
    for (unsigned i = 0; i < period; ++i) shape += "OGCEA"[kinds[i] % 5];
    note(depth, "tower " + std::to_string(height) + " of " + shape +
                    (branch ? " with MatchFirst branches" : ""));
    // A Combine in the tower parses what is below it. Towers do not nest:
    // their cost would multiply.
    in_tower_ = true;
    ElementHandle e = build(depth + 1, false);
    in_tower_ = false;
    ElementHandle side = Ref<LiteralElement>::make("a");
    for (unsigned i = 0; i < height; ++i) {
      switch (kinds[i % period] % 5) {
        case 0:
          e = Ref<OptionalElement>::make(std::move(e));
          break;
        case 1:
          e = Ref<GroupElement>::make(std::move(e));
          break;
        case 2:
          e = Ref<CombineElement>::make(std::move(e));
          break;
        case 3:
          e = Ref<ExactlyElement>::make(std::move(e), 1);
          break;
        default:
          e = Ref<AndElement>::make(std::vector<ElementHandle>{std::move(e)});
          break;
      }
      if (branch && i % period == 0) {
        side = Ref<MatchFirstElement>::make(std::vector<ElementHandle>{side, e});
      }
    }
    return branch ? side : e;
  }

  Input& in_;
  Grammar& g_;
  unsigned nodes_ = 0;
  bool in_tower_ = false;
  bool in_skip_to_ = false;
};

// ---------------------------------------------------------------------------
// The text.

std::string read_text(Input& in, std::size_t max) {
  std::string text;
  while (!in.empty() && text.size() < max) {
    const std::uint8_t op = in.byte();
    const std::string_view unit = kUnits[op % kUnitCount];
    std::size_t times = 1;
    if (op >= 0xE0) times = 1 + (in.byte() | (in.byte() << 8)) % 3000;  // a long run
    for (std::size_t i = 0; i < times && text.size() + unit.size() <= max; ++i) text += unit;
  }
  return text;
}

// The longest prefix of `text` of at most `limit` bytes that ends on a
// character boundary.
std::string_view cut(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text;
  while (limit > 0 && !is_char_boundary(text, limit)) --limit;
  return text.substr(0, limit);
}

// ---------------------------------------------------------------------------
// The checks.

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t min;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4, min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    std::uint32_t c = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Every token of a parse of `text` is well-formed UTF-8, and a token that
// refers into the text instead of owning its bytes lies within it.
void check_tokens(std::span<const Token> tokens, std::string_view text) {
  for (const Token& t : tokens) {
    if (t.is_list()) {
      check_tokens(t.items(), text);
      continue;
    }
    const std::string_view s = t.text();
    check(valid_utf8(s), "a token is well-formed UTF-8");
    if (t.is_slice() && !s.empty()) {
      check(s.data() >= text.data() && s.data() + s.size() <= text.data() + text.size(),
            "a slice token lies within the parsed text");
    }
  }
}

bool same_tokens(std::span<const Token> a, std::span<const Token> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].is_list() != b[i].is_list()) return false;
    if (a[i].is_list() ? !same_tokens(a[i].items(), b[i].items()) : a[i].text() != b[i].text())
      return false;
  }
  return true;
}

// Runs the grammar over one text the way the module's operations do.
class Scans {
 public:
  // The grammar's scans read the first `scan_limit` bytes (cut back to a
  // character): a scan may cost the square of the text's length by design,
  // so long texts are left to the leaf scanners, which are linear.
  Scans(const Grammar& g, std::string_view text, std::size_t scan_limit)
      : g_(g), root_(*g.root), whole_(text), text_(cut(text, scan_limit)) {}

  void run() {
    parse_string();
    matches();
    if (!g_.towers) {
      const std::optional<std::vector<MatchSpan>> spans = search_string();
      if (spans) transform_string(*spans);
      const std::optional<std::uint64_t> count =
          search_string_count(spans ? std::optional<std::size_t>(spans->size()) : std::nullopt);
      const std::optional<std::vector<MatchSpan>> fast_spans = driver_spans();
      if (spans && fast_spans) check(*fast_spans == *spans, "the driver's scan lists the spans");
      const std::optional<std::uint64_t> fast_count = driver_count();
      if (count && fast_count) check(*fast_count == *count, "the driver's count is the count");
      begin();
    }
    leaf_scanners();
  }

 private:
  // One plain attempt, outside any operation, so that SkipTo searches
  // afresh. Where a SkipTo can be reached again through a Forward, that
  // costs exponential time (each search runs the target, which searches
  // again), so there the attempt is an operation of its own.
  template <class F>
  auto attempt(F&& f) {
    std::optional<OperationScope> scope;
    if (g_.skip_to && !g_.forwards.empty()) scope.emplace();
    return f();
  }

  // Each operation starts with the thread's too-deep flag clear and gives
  // up once it is set (the module then raises RecursionError; the flag is
  // sticky, so whatever the scan went on to do would fail at once). Once the
  // input's budget is spent, it starts with the flag set and gives up at
  // once.
  void begin() {
    start_run();
    gave_up_ = false;
  }
  bool gave_up() {
    if (!gave_up_ && take_too_deep()) {
      note_too_deep();
      gave_up_ = true;
    }
    return gave_up_;
  }

  // `try_match_at` at `pos`, checked against `parse_impl` there.
  MatchResult test(Pos pos) {
    if (gave_up()) return kNoMatch;
    const MatchResult m = attempt([&] { return root_.try_match_at(text_, pos); });
    if (gave_up()) return kNoMatch;
    if (m.matched) {
      check(m.end >= pos && m.end <= text_.size(), "a match ends within [pos, length]");
      if (m.end > pos && is_char_boundary(text_, pos))
        check(is_char_boundary(text_, m.end), "a match from a boundary ends on one");
      check_start(pos, m.end);
    }
    ParseContext ctx{text_, true};
    const ParseOutcome out = attempt([&] { return root_.parse_impl(ctx, pos); });
    check(ctx.skip_ws, "the context's flag comes back set");
    // A parse that gave up may still succeed where an alternative swallowed
    // the give-up: its tokens must be sound, but its answer is not checked.
    if (out.ok()) check_tokens(out.tokens().span(), text_);
    if (gave_up() || out.too_deep()) return m;
    if (out.ok()) {
      check(out.end() >= pos && out.end() <= text_.size(), "a parse ends within [pos, length]");
      check_shape(out, pos);
      check_start(pos, out.end());
    }
    if (!g_.divergent) {
      check(out.ok() == m.matched, "parse_impl and try_match_at agree on a match");
      if (m.matched) check(out.end() == m.end, "parse_impl and try_match_at agree on the end");
    }
    return m;
  }

  // A match of [pos, end) is one the element's start bytes allow.
  void check_start(Pos pos, Pos end) const {
    const StartBytes& starts = root_.start_bytes();
    if (end > pos) {
      check(starts.has(static_cast<unsigned char>(text_[pos])),
            "a match starts with one of the element's start bytes");
    } else {
      check(starts.can_be_empty(), "only an element that may match empty does");
    }
  }

  // parse_string: `parse_from_start` within an operation and a token
  // arena, as the module runs it, against the common start rule (the plain
  // `parse_impl` where leading whitespace ends; rest_of_line starts at 0).
  void parse_string() {
    begin();
    const bool at_zero = dynamic_cast<const RestOfLineElement*>(&root_) != nullptr;
    ParseContext ctx{text_, true};
    const ParseOutcome direct = attempt(
        [&] { return root_.parse_impl(ctx, at_zero ? 0 : advance_past_whitespace(text_, 0)); });
    if (direct.ok()) check_tokens(direct.tokens().span(), text_);
    if (gave_up() || direct.too_deep()) return;

    begin();
    const CallScope scope(true);
    const ParseOutcome out = root_.parse_from_start(text_);
    if (gave_up() || out.too_deep()) return;
    check(direct.ok() == out.ok(), "parse_from_start follows the start rule");
    check(direct.ok() ? direct.end() == out.end() : direct.position() == out.position(),
          "parse_from_start ends or fails where the start rule does");
    if (!out.ok()) return;
    check(out.end() <= text_.size(), "parse_from_start ends within the text");
    check_tokens(out.tokens().span(), text_);
    check(same_tokens(out.tokens().span(), direct.tokens().span()),
          "tokens made in an arena equal the plain ones");
    const std::vector<Token> copies(out.tokens().span().begin(), out.tokens().span().end());
    check(same_tokens(copies, out.tokens().span()), "copied tokens equal their originals");
  }

  // The tokens a kind promises for a match of [pos, end).
  void check_shape(const ParseOutcome& out, Pos pos) const {
    const Element* e = &root_;
    const auto& tokens = out.tokens();
    if (dynamic_cast<const CombineElement*>(e) || dynamic_cast<const SkipToElement*>(e) ||
        dynamic_cast<const RestOfLineElement*>(e) || dynamic_cast<const WordElement*>(e) ||
        dynamic_cast<const RegexElement*>(e)) {
      check(tokens.size() == 1 && !tokens[0].is_list() &&
                tokens[0].text() == text_.substr(pos, out.end() - pos),
            "the token is the matched text");
    } else if (dynamic_cast<const GroupElement*>(e)) {
      check(tokens.size() == 1 && tokens[0].is_list(), "a Group makes one list");
    } else if (dynamic_cast<const SuppressElement*>(e)) {
      check(tokens.size() == 0, "a Suppress makes no token");
    }
  }

  // The listing scan of search_string: spans from character boundaries,
  // resuming at a match's end, one character on after a failed or empty
  // attempt.
  std::optional<std::vector<MatchSpan>> search_string() {
    begin();
    std::vector<MatchSpan> spans;
    const Pos n = text_.size();
    for (Pos pos = 0; pos < n && !gave_up();) {
      const MatchResult m = test(pos);
      if (m.matched && m.end > pos) {
        spans.push_back({pos, m.end});
        pos = m.end;
      } else {
        pos = next_char_boundary(text_, pos + 1);
      }
    }
    if (gave_up()) return std::nullopt;
    const ElementClass cls = root_.element_class();
    ParseContext ctx{text_, true};
    for (const MatchSpan& s : spans) {
      check(is_char_boundary(text_, s.start) && is_char_boundary(text_, s.end),
            "search spans lie on character boundaries");
      if (cls != ElementClass::Normal) {
        const ParseOutcome out = root_.parse_impl(ctx, s.start);
        if (out.ok()) check_tokens(out.tokens().span(), text_);
      }
    }
    return spans;
  }

  void transform_string(const std::vector<MatchSpan>& spans) {
    std::string out;
    Pos last = 0;
    for (const MatchSpan& s : spans) {
      check(s.start >= last, "spans never overlap");
      out.append(text_.substr(last, s.start - last));
      out.append("<\xC3\xA9>");
      last = s.end;
    }
    out.append(text_.substr(last));
    check(valid_utf8(out), "transform_string makes well-formed UTF-8");
  }

  // The listing and counting scans as the module runs them: within one
  // operation (so SkipTo searches keep their answers) and passing over the
  // positions whose byte starts no match. Both must give the plain scans'
  // answers. Empty when the scan gave up.
  std::optional<std::vector<MatchSpan>> driver_spans() {
    begin();
    OperationScope scope;
    const StartBytes& starts = root_.start_bytes();
    const StartFinder boundaries(starts, true);
    std::vector<MatchSpan> spans;
    for (Pos pos = 0; pos < text_.size();) {
      if (!starts.has(static_cast<unsigned char>(text_[pos]))) {
        pos = boundaries.next(text_, pos + 1);
        continue;
      }
      const MatchResult m = root_.try_match_at(text_, pos);
      if (gave_up()) return std::nullopt;
      if (m.matched && m.end > pos) {
        spans.push_back({pos, m.end});
        pos = m.end;
      } else {
        pos = boundaries.next(text_, pos + 1);
      }
    }
    return spans;
  }

  std::optional<std::uint64_t> driver_count() {
    begin();
    OperationScope scope;
    const StartBytes& starts = root_.start_bytes();
    const bool skip = !starts.can_be_empty() && !starts.every_byte();
    const StartFinder candidates(starts, false);
    const auto next = [&](Pos p) { return skip ? candidates.next(text_, p) : p; };
    std::uint64_t count = 0;
    for (Pos p = next(0); p < text_.size(); p = next(p)) {
      const MatchResult m = root_.try_match_at(text_, p);
      if (gave_up()) return std::nullopt;
      if (m.matched) {
        ++count;
        p = std::max(p + 1, m.end);
      } else {
        ++p;
      }
    }
    return count;
  }

  // The counting scan: every byte position is a candidate. Where no match
  // was empty and none began inside a character it visits the same starts
  // as the listing scan (`listed` spans, unknown when that scan gave up).
  std::optional<std::uint64_t> search_string_count(std::optional<std::size_t> listed) {
    begin();
    const Pos n = text_.size();
    std::uint64_t count = 0;
    bool same_starts = true;
    for (Pos p = 0; p < n && !gave_up();) {
      const MatchResult m = test(p);
      if (m.matched) {
        ++count;
        if (m.end <= p || !is_char_boundary(text_, p)) same_starts = false;
        p = std::max(p + 1, m.end);
      } else {
        ++p;
      }
    }
    if (gave_up()) return std::nullopt;
    if (same_starts && listed) check(count == *listed, "the count equals the number of spans");
    return count;
  }

  // The match tests of `matches`, also within an operation.
  void matches() {
    for (const Pos p : {advance_past_whitespace(text_, 0), Pos{0}, Pos{text_.size()}}) {
      begin();
      const MatchResult plain = test(p);
      if (gave_up()) continue;
      begin();
      OperationScope scope;
      const MatchResult m = root_.try_match_at(text_, p);
      if (gave_up()) continue;
      check(m.matched == plain.matched && (!m.matched || m.end == plain.end),
            "a match test within an operation gives the plain answer");
    }
    begin();
  }

  // The whole-text scanners of leaf kinds against the plain scans.
  void leaf_scanners() {
    for (const auto& w : g_.words) word_scans(*w);
    for (const auto& l : g_.literals) literal_scans(*l);
    for (const auto& k : g_.keywords) {
      check(keyword_count(*k, whole_) == plain_count(*k), "keyword_count equals the plain count");
    }
    for (const auto& r : g_.regexes) regex_scans(*r);
  }

  template <class Kind>
  std::uint64_t plain_count(const Kind& kind) const {
    std::uint64_t count = 0;
    for (Pos p = 0; p < whole_.size();) {
      const MatchResult m = kind.try_match_at(whole_, p);
      if (m.matched) {
        ++count;
        p = std::max(p + 1, m.end);
      } else {
        ++p;
      }
    }
    return count;
  }

  template <class Kind>
  std::vector<MatchSpan> plain_spans(const Kind& kind) const {
    std::vector<MatchSpan> spans;
    for (Pos p = 0; p < whole_.size();) {
      const MatchResult m = kind.try_match_at(whole_, p);
      if (m.matched && m.end > p) {
        spans.push_back({p, m.end});
        p = m.end;
      } else {
        p = next_char_boundary(whole_, p + 1);
      }
    }
    return spans;
  }

  void word_scans(const WordElement& w) {
    const std::vector<MatchSpan> plain = plain_spans(w);
    check(plain_count(w) == plain.size(), "a Word's count scan and listing scan agree");
    for (const FindKernel k : {FindKernel::kPortable, FindKernel::kAvx2}) {
      if (!find_kernel_supported(k)) continue;
      const WordScanner scanner(w, k);
      check(scanner.count(whole_) == plain.size(), "the word count equals the plain scan");
      check(scanner.count_plain(whole_) == plain.size(), "the plain word count too");
      std::vector<MatchSpan> spans;
      WordCursor cursor(scanner, whole_);
      MatchSpan batch[7];
      for (std::size_t got; (got = cursor.next(batch, 7)) != 0;)
        spans.insert(spans.end(), batch, batch + got);
      check(spans == plain, "the word cursor yields the plain scan's spans");
    }
  }

  void literal_scans(const LiteralElement& l) {
    check(literal_count(l.s(), whole_) == plain_count(l), "literal_count equals the plain count");
    for (const FindKernel k : {FindKernel::kPortable, FindKernel::kSse2, FindKernel::kAvx2}) {
      if (!find_kernel_supported(k)) continue;
      const SubstringFinder finder(l.s(), k);
      for (std::size_t from = 0; from <= whole_.size(); from += 1 + whole_.size() / 16) {
        const std::size_t want = whole_.find(l.s(), from);
        const std::size_t got = finder.find(whole_, from);
        check(got == (want == std::string_view::npos ? kNotFound : want),
              "the substring finder agrees with a plain search");
      }
    }
  }

  void regex_scans(const RegexElement& r) {
    std::vector<MatchSpan> fast, plain;
    // A class run keeps no bounds (its scans need none); ask for them here.
    const MatchBounds bounds = r.run() ? match_bounds(r.re()) : r.bounds();
    RegexMatchIterator a(r.re(), bounds, whole_), b(r.re(), whole_);
    for (MatchSpan m; a.next(m);) fast.push_back(m);
    for (MatchSpan m; b.next(m);) plain.push_back(m);
    check(fast == plain, "the dense-match shortcut finds the plain iteration's matches");
    if (const ClassRun* run = r.run()) {
      std::vector<MatchSpan> table;
      run->for_each(whole_, [&table](MatchSpan m) { table.push_back(m); });
      check(table == plain, "the byte-table scan finds the iteration's matches");
      check(run->count(whole_) == plain.size(), "the byte-table count counts them");
      for (Pos p = 0; p <= whole_.size(); p = next_char_boundary(whole_, p + 1)) {
        check(utf8_match_length(r, whole_, p) == r.match_length(whole_, p),
              "the byte-table match equals the compiled pattern's");
        if (p == whole_.size()) break;
      }
    }
    Pos last = 0;
    for (const MatchSpan& m : plain) {
      check(m.start >= last && m.end >= m.start && m.end <= whole_.size(),
            "regex matches are ordered and within the text");
      check(is_char_boundary(whole_, m.start) && is_char_boundary(whole_, m.end),
            "regex matches lie on character boundaries");
      last = m.end;
    }
  }

  const Grammar& g_;
  const Element& root_;
  // The whole text, and the part the grammar's scans read.
  std::string_view whole_;
  std::string_view text_;
  bool gave_up_ = false;
};

// Whole-text parse and match test on a thread with a small stack, which
// then releases the grammar: deep grammars and recursion must give up there
// cleanly, and deep grammars must be freed, without overflowing it.
constexpr std::size_t kSmallStack = 64 * 1024;

void run_on_small_stack(std::unique_ptr<Grammar> g, std::string_view text) {
  struct Job {
    std::unique_ptr<Grammar> g;
    std::string_view text;
  } job{std::move(g), text};
  auto body = [](void* arg) -> void* {
    Job& j = *static_cast<Job*>(arg);
    const Element& root = *j.g->root;
    start_run();
    {
      // As the module runs an operation: within one, in a token arena.
      const CallScope scope(true);
      const ParseOutcome out = root.parse_from_start(j.text);
      if (out.ok()) check_tokens(out.tokens().span(), j.text);
      root.try_match_at(j.text, advance_past_whitespace(j.text, 0));
    }
    take_too_deep();
    j.g.reset();
    return nullptr;
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kSmallStack);
  pthread_t thread;
  const int err = pthread_create(&thread, &attr, body, &job);
  pthread_attr_destroy(&attr);
  check(err == 0, "a thread can be started");
  pthread_join(thread, nullptr);
}

}  // namespace

void run_one(const std::uint8_t* data, std::size_t size) {
  // A fresh budget, counted from a full period so that an input stops at the
  // same place whatever ran before it.
  interrupt_calls.store(0, std::memory_order_relaxed);
  set_interrupt_hook(&interrupt_hook);
  stack_guard::thread_state.countdown = stack_guard::kInterruptPeriod;
  Input in(data, size);
  auto grammar = std::make_unique<Grammar>();
  Grammar& g = *grammar;
  g.root = Builder(in, g).build(0, false);
  const std::string text = read_text(in, g.towers ? kMaxTowerText : kMaxText);
  // QUERNLET_FUZZ_SHOW=1 prints what an input stands for.
  static const bool show = std::getenv("QUERNLET_FUZZ_SHOW") != nullptr;
  if (show) {
    std::fprintf(stderr, "grammar:\n%stext (%zu bytes): %s\n", g.description.c_str(), text.size(),
                 quoted(text.substr(0, 400)).c_str());
  }
  Scans(g, text, g.skip_to ? kMaxSkipToScanText : kMaxScanText).run();
  if (g.towers || !g.forwards.empty())
    run_on_small_stack(std::move(grammar), cut(text, kMaxScanText));
  take_too_deep();
  if (show) {
    std::fprintf(stderr, "work: %llu of %llu interrupt periods\n",
                 static_cast<unsigned long long>(interrupt_calls.load()),
                 static_cast<unsigned long long>(kInterruptBudget));
  }
}

}  // namespace quernlet::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quernlet::fuzz::run_one(data, size);
  return 0;
}
