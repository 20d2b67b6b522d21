// Helpers shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "chars.hpp"
#include "element.hpp"
#include "forward.hpp"
#include "literals.hpp"
#include "positional.hpp"
#include "structure.hpp"

namespace quernlet::testing_support {

// Heap allocations made so far by the calling thread (every `operator new`
// of the test program counts); compare two readings around the code.
long allocations_on_this_thread() noexcept;

template <class T, class... Args>
Ref<T> mk(Args&&... args) {
  return Ref<T>::make(std::forward<Args>(args)...);
}

// `parse_impl` at `pos` on a fresh context; the context's flag must come
// back as it went in.
ParseOutcome parse_at(const Element& e, std::string_view text, Pos pos, bool skip_ws = true);

// "3: 'a',['b']" for a success, "@1 Expected 'b'" for a failure.
std::string show(const ParseOutcome& out);
// "3" for a match, "none" otherwise.
std::string show(const MatchResult& m);

// `parse_impl` at `pos` gives `want` (as `show` writes it) and
// `try_match_at` the same answer, allocating nothing unless `allocates`.
void expect_match(const Element& e, std::string_view text, Pos pos, std::string_view want,
                  bool allocates = false);

// Whether `s` is well-formed UTF-8.
bool valid_utf8(std::string_view s);

// A text of random pieces, at least `min_len` bytes long.
std::string random_text(std::mt19937& rng, std::size_t min_len,
                        const std::vector<std::string>& pieces);
// A text of random bytes of `alphabet`, exactly `n` bytes long.
std::string random_bytes(std::mt19937& rng, std::size_t n, std::string_view alphabet);
// `unit` repeated and cut to exactly `n` bytes.
std::string repeat(std::string_view unit, std::size_t n);

// A copy of a text at a chosen alignment in a heap block of exactly its
// size, so that a kernel reading past the end trips the address sanitizer.
class Placed {
 public:
  Placed(std::string_view text, std::size_t align);
  std::string_view view() const { return view_; }

 private:
  std::unique_ptr<char[]> block_;
  std::string_view view_;
};

// What a GrammarMaker favours or rules out.
struct GrammarOptions {
  // SkipTo is frequent and reached in the ways a kept search answer could
  // be misapplied: elements shared between places, SkipTos in targets, and
  // F <<= "(" + SkipTo(F) | leaf, which searches for its own kind.
  bool skip_rich = false;
  // OneOrMore repeats only leaves that never match the empty text: the one
  // place where its match test and its parse may differ.
  bool advancing_repeats = false;
};

// Random grammars of every element kind, their texts built of `pieces`.
class GrammarMaker {
 public:
  GrammarMaker(std::mt19937& rng, std::vector<std::string> pieces, GrammarOptions options = {})
      : rng_(rng), pieces_(std::move(pieces)), options_(options) {}
  ~GrammarMaker() {
    for (const Ref<ForwardElement>& f : cycles_) f->set(nullptr);
  }

  // Every element made since the last clear, children included.
  std::vector<ElementHandle> made;

  ElementHandle make(int depth) {
    if (options_.skip_rich && !made.empty() && pick(4) == 0) return made[pick(made.size())];
    made.push_back(options_.skip_rich ? make_skip_rich(depth) : make_one(depth));
    return made.back();
  }

 private:
  ElementHandle make_skip_rich(int depth) {
    switch (depth > 0 ? pick(6) : 0) {
      case 0:
        return make_one(0);
      case 1:
        return mk<SkipToElement>(make(depth - 1));
      case 2:
        return mk<AndElement>(std::vector<ElementHandle>{make(depth - 1), make(depth - 1)});
      case 3:
        return mk<MatchFirstElement>(std::vector<ElementHandle>{make(depth - 1), make(depth - 1)});
      case 4:
        return mk<OptionalElement>(make(depth - 1));
      default: {
        auto f = cycles_.emplace_back(mk<ForwardElement>());
        f->set(mk<MatchFirstElement>(
            std::vector<ElementHandle>{mk<AndElement>(std::vector<ElementHandle>{
                                           mk<LiteralElement>("("), mk<SkipToElement>(f)}),
                                       make_one(0)}));
        return f;
      }
    }
  }

  ElementHandle make_one(int depth) {
    const int kind = pick(depth > 0 ? 31 : 18);
    if (kind >= 8 && kind < 18) {
      const ElementHandle fixed[] = {mk<EmptyElement>(),       mk<NoMatchElement>(),
                                     mk<LineStartElement>(),   mk<LineEndElement>(),
                                     mk<StringStartElement>(), mk<StringEndElement>(),
                                     mk<RestOfLineElement>(),  mk<ForwardElement>(),  // never set
                                     mk<LiteralElement>(" "),  lead_byte()};
      return fixed[kind - 8];
    }
    switch (kind) {
      case 0:
        return mk<LiteralElement>(short_text());
      case 1:
        return mk<KeywordElement>(short_text());
      case 2:
        return mk<CaselessLiteralElement>(short_text());
      case 3:
        return mk<CaselessKeywordElement>(short_text());
      case 4:
        return mk<CharElement>(short_text() + short_text());
      case 5: {
        const std::string body = short_text() + short_text();
        const std::string_view b = body;
        return mk<WordElement>(short_text() + "a", pick(2) ? &b : nullptr);
      }
      case 6: {
        static const char* const patterns[] = {
            "\\s+", "[ab_]",      "[xyz]",         "a*",       "(?:if|b)\\b", "é+",  "\\w+", "",
            "$",    "[a-z_]\\w*", "\"[^\"\\n]*\"", "i*[0-9 ]", "[^a\\n]+",    "\\S+"};
        std::string error;
        return RegexElement::compile(patterns[pick(14)], error);
      }
      case 7: {
        const std::string esc = pick(2) ? "\\" : "\"";
        const std::string_view e = esc;
        return mk<QuotedStringElement>(pick(2) ? "\"" : "é", pick(2) ? &e : nullptr, pick(2) != 0,
                                       pick(2) != 0);
      }
      case 18:
      case 19:
      case 20:
        return mk<AndElement>(children(depth));
      case 21:
      case 22:
        return mk<MatchFirstElement>(children(depth));
      case 23:
        return mk<OptionalElement>(make(depth - 1));
      case 24:
        return mk<ZeroOrMoreElement>(make(depth - 1));
      case 25:
        return mk<OneOrMoreElement>(options_.advancing_repeats ? advancing_leaf()
                                                               : make(depth - 1));
      case 26:
        return mk<ExactlyElement>(make(depth - 1), static_cast<std::uint64_t>(pick(3)));
      case 27:
        return pick(2) ? ElementHandle(mk<GroupElement>(make(depth - 1)))
                       : ElementHandle(mk<SuppressElement>(make(depth - 1)));
      case 28:
        return mk<CombineElement>(make(depth - 1));
      case 29:
        return mk<SkipToElement>(make(depth - 1));
      default: {
        auto f = mk<ForwardElement>();
        f->set(make(depth - 1));
        return f;
      }
    }
  }

  // Matches the lead byte of "\xC3\xA9" and stops inside the character,
  // without a token of its own that would cut it.
  static ElementHandle lead_byte() { return mk<SuppressElement>(mk<LiteralElement>("\xC3")); }

  // A leaf that never matches the empty text, kept in `made` like the rest.
  ElementHandle advancing_leaf() {
    const std::string piece = pieces_[pick(pieces_.size())];
    std::string error;
    switch (pick(4)) {
      case 0:
        made.push_back(mk<LiteralElement>(piece + short_text()));
        break;
      case 1:
        made.push_back(mk<CharElement>(piece));
        break;
      case 2:
        made.push_back(RegexElement::compile(pick(2) ? "\\w+" : "[ab_]\\S*", error));
        break;
      default:
        made.push_back(lead_byte());
    }
    return made.back();
  }

  int pick(std::size_t n) {
    return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(rng_);
  }
  std::string short_text() {
    std::string s;
    for (int k = pick(3); k > 0; --k) s += pieces_[pick(pieces_.size())];
    return s;
  }
  std::vector<ElementHandle> children(int depth) {
    std::vector<ElementHandle> v;
    for (int k = pick(6); k > 0; --k) v.push_back(make(depth - 1));
    return v;
  }

  std::mt19937& rng_;
  std::vector<std::string> pieces_;
  GrammarOptions options_;
  std::vector<Ref<ForwardElement>> cycles_;
};

}  // namespace quernlet::testing_support
