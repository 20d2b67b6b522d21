// The combinators: And, MatchFirst, Optional, ZeroOrMore, OneOrMore,
// Exactly, Group, Suppress, Combine and SkipTo.
//
// Sequences and repetitions (And, Exactly, ZeroOrMore, OneOrMore) apply the
// child whitespace rule (`skip_before`) before every child attempt, the first
// included; whitespace skipped before an attempt that fails or ends a
// repetition is not consumed. The other kinds hand `pos` to their child
// unchanged. Tokens are moved from child to parent, never copied.
//
// Kinds that recover from a child's failure (MatchFirst, Optional,
// ZeroOrMore, OneOrMore) never recover from a stack give-up (`too_deep`):
// they return it unchanged, so runaway recursion is reported, not masked.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "element.hpp"
#include "find.hpp"
#include "target_memo.hpp"

namespace quernlet {

// Base of And and MatchFirst (`Kind`): the children in order.
template <class Kind>
class ChildList : public ElementKind<Kind> {
 protected:
  // The children, in order; may be empty.
  std::vector<ElementHandle> exprs_;

 public:
  explicit ChildList(std::vector<ElementHandle> exprs) : exprs_(std::move(exprs)) {}
  ElementClass element_class() const noexcept final { return ElementClass::Complex; }

  const std::vector<ElementHandle>& exprs() const noexcept { return exprs_; }
};

// Base of the kinds with one child (`Kind`), whose element class is `Class`.
template <class Kind, ElementClass Class>
class SingleChild : public ElementKind<Kind> {
 protected:
  // The child.
  ElementHandle expr_;

 public:
  explicit SingleChild(ElementHandle expr) : expr_(std::move(expr)) {}
  ElementClass element_class() const noexcept final { return Class; }

  const Element& expr() const noexcept { return *expr_; }
};

// The children in order; each must match where the previous one ended (an
// empty sequence matches the empty text). Fails with the first failing
// child's failure, unchanged.
class AndElement final : public ChildList<AndElement> {
 public:
  explicit AndElement(std::vector<ElementHandle> exprs);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// The first alternative, in order, that matches at `pos`; when all fail, the
// last alternative's failure unchanged ("No match found" when there are
// none). Only alternatives whose start bytes allow a match at `pos` are
// tried.
class MatchFirstElement final : public ChildList<MatchFirstElement> {
 public:
  explicit MatchFirstElement(std::vector<ElementHandle> exprs);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;

 private:
  // Whether alternative `i` may match at `pos`; `may` is `by_byte_`'s
  // entry for `pos` when there is a table.
  bool may_try(std::uint64_t may, std::size_t i, std::string_view text, Pos pos) const noexcept {
    return by_byte_ ? ((may >> i) & 1) != 0 : exprs_[i]->start_bytes().may_match_at(text, pos);
  }
  std::uint64_t entry(std::string_view text, Pos pos) const noexcept {
    if (!by_byte_) return 0;
    return pos < text.size() ? (*by_byte_)[static_cast<unsigned char>(text[pos])] : at_end_;
  }
  // Whether the alternatives tried count towards the interrupt period, each
  // as a step: with more of them than a byte table holds, one entry may try
  // so many leaves that it must, while a few leaves are as cheap as the
  // entry that counted already.
  bool counts_alternatives() const noexcept { return exprs_.size() > kTableMax; }

  static constexpr std::size_t kTableMax = 64;

  // With 3 to 64 alternatives: bit i of entry b is set when alternative i
  // can match at a position holding b (emptily or not), so a position costs
  // one look-up instead of a test per alternative.
  std::unique_ptr<const std::array<std::uint64_t, 256>> by_byte_;
  // Bit i set: alternative i can match empty (the only match at the end).
  std::uint64_t at_end_ = 0;
};

// The child's match, or an empty match at `pos`; never fails.
class OptionalElement final : public SingleChild<OptionalElement, ElementClass::Normal> {
 public:
  explicit OptionalElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// As many advancing repetitions of the child as match; never fails. The
// first attempt that fails or does not advance ends the loop.
class ZeroOrMoreElement final : public SingleChild<ZeroOrMoreElement, ElementClass::Complex> {
 public:
  explicit ZeroOrMoreElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// At least one advancing repetition, then as many as match. `try_match_at`
// also accepts a first match that does not advance; `parse_impl` does not.
class OneOrMoreElement final : public SingleChild<OneOrMoreElement, ElementClass::Complex> {
 public:
  explicit OneOrMoreElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// Exactly `count` advancing repetitions of the child; whether one more
// would match is not looked at.
class ExactlyElement final : public SingleChild<ExactlyElement, ElementClass::Normal> {
  // Number of repetitions; 0 matches the empty text.
  std::uint64_t count_;

 public:
  ExactlyElement(ElementHandle expr, std::uint64_t count);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;

  std::uint64_t count() const noexcept { return count_; }
};

// The child's tokens wrapped into one list token.
class GroupElement final : public SingleChild<GroupElement, ElementClass::Group> {
 public:
  explicit GroupElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// The child's match with no tokens. The child is only match-tested, so it
// builds no tokens and makes no message.
class SuppressElement final : public SingleChild<SuppressElement, ElementClass::Suppress> {
 public:
  explicit SuppressElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// The child parsed with `skip_ws` cleared (restored afterwards, whatever the
// outcome); the token is the matched source span. A span that starts or ends
// inside a multi-byte character is no match ("Combine: no match").
// `try_match_at` runs this kind's own parse and so allocates.
class CombineElement final : public SingleChild<CombineElement, ElementClass::Normal> {
 public:
  explicit CombineElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
};

// The text from `pos` up to the first character boundary at or after `pos`
// where the child (the target) matches; the target is not consumed. The
// target is tried only at character boundaries, and a `pos` inside a
// character is no match, so the token never cuts a character.
//
// Within an operation (`OperationScope`) the answers of the search are
// remembered (target_memo.hpp), so a scan that starts a match at every
// position stays linear in the text.
class SkipToElement final : public SingleChild<SkipToElement, ElementClass::Normal> {
  // When the target is a Literal or a Keyword: a finder for its text, which
  // jumps between occurrences instead of trying every position.
  std::optional<SubstringFinder> finder_;
  // Whether an occurrence must also end a word (a Keyword target).
  bool keyword_ = false;

 public:
  explicit SkipToElement(ElementHandle expr);
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;

  // The first boundary in [pos, limit) where the target matches, or
  // kNoTarget; `limit` is at most the text length plus one. Nothing is
  // remembered or looked up. Every attempt of the target is a step of the
  // run (`run_step`), so a long search answers interrupts; a run that gives
  // up finds no target. A Literal or Keyword target is found by a byte scan
  // instead, which makes no attempts.
  Pos next_target(std::string_view text, Pos pos, Pos limit) const;

 private:
  // next_target with the finder.
  Pos next_occurrence(std::string_view text, Pos pos, Pos limit) const noexcept;
  // The target's position, without the stack check.
  MatchResult find_target(std::string_view text, Pos pos) const;
  // The search when the memo has no answer; out of line, so that a lookup
  // answered from the memo, the usual case of a scan, sets up no loop.
  [[gnu::noinline]] MatchResult search_target(std::string_view text, Pos pos,
                                              const TargetRecall& known) const;
};

}  // namespace quernlet
