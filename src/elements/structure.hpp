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

#include <cstdint>
#include <vector>

#include "element.hpp"

namespace quernlet {

// The children in order; each must match where the previous one ended.
// Fails with the first failing child's failure, unchanged.
class AndElement final : public Element {
  // The sequence, in order; may be empty (matches the empty text).
  std::vector<ElementHandle> exprs_;

 public:
  explicit AndElement(std::vector<ElementHandle> exprs) : exprs_(std::move(exprs)) {
    for (const ElementHandle& e : exprs_) nest_over(*e);
  }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Complex; }

  const std::vector<ElementHandle>& exprs() const noexcept { return exprs_; }
};

// The first alternative that matches at `pos`; when all fail, the last
// alternative's failure unchanged ("No match found" when there are none).
class MatchFirstElement final : public Element {
  // The alternatives, tried in order; may be empty (never matches).
  std::vector<ElementHandle> exprs_;

 public:
  explicit MatchFirstElement(std::vector<ElementHandle> exprs) : exprs_(std::move(exprs)) {
    for (const ElementHandle& e : exprs_) nest_over(*e);
  }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Complex; }

  const std::vector<ElementHandle>& exprs() const noexcept { return exprs_; }
};

// The child's match, or an empty match at `pos`; never fails.
class OptionalElement final : public Element {
  // The optional part.
  ElementHandle expr_;

 public:
  explicit OptionalElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const Element& expr() const noexcept { return *expr_; }
};

// As many advancing repetitions of the child as match; never fails. The
// first attempt that fails or does not advance ends the loop.
class ZeroOrMoreElement final : public Element {
  // The repeated part.
  ElementHandle expr_;

 public:
  explicit ZeroOrMoreElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Complex; }

  const Element& expr() const noexcept { return *expr_; }
};

// At least one advancing repetition, then as many as match. `try_match_at`
// also accepts a first match that does not advance; `parse_impl` does not.
class OneOrMoreElement final : public Element {
  // The repeated part.
  ElementHandle expr_;

 public:
  explicit OneOrMoreElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Complex; }

  const Element& expr() const noexcept { return *expr_; }
};

// Exactly `count` advancing repetitions of the child; whether one more
// would match is not looked at.
class ExactlyElement final : public Element {
  // The repeated part.
  ElementHandle expr_;
  // Number of repetitions; 0 matches the empty text.
  std::uint64_t count_;

 public:
  ExactlyElement(ElementHandle expr, std::uint64_t count) : expr_(std::move(expr)), count_(count) {
    nest_over(*expr_);
  }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const Element& expr() const noexcept { return *expr_; }
  std::uint64_t count() const noexcept { return count_; }
};

// The child's tokens wrapped into one list token.
class GroupElement final : public Element {
  // The grouped part.
  ElementHandle expr_;

 public:
  explicit GroupElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Group; }

  const Element& expr() const noexcept { return *expr_; }
};

// The child's match with no tokens. The child is only match-tested, so it
// builds no tokens and makes no message.
class SuppressElement final : public Element {
  // The suppressed part.
  ElementHandle expr_;

 public:
  explicit SuppressElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Suppress; }

  const Element& expr() const noexcept { return *expr_; }
};

// The child parsed with `skip_ws` cleared (restored afterwards, whatever the
// outcome); the token is the matched source span. A span that starts or ends
// inside a multi-byte character is no match ("Combine: no match").
// `try_match_at` runs this kind's own parse and so allocates.
class CombineElement final : public Element {
  // The combined part.
  ElementHandle expr_;

 public:
  explicit CombineElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const Element& expr() const noexcept { return *expr_; }
};

// The text from `pos` up to the first character boundary at or after `pos`
// where the target matches; the target is not consumed. The target is tried
// only at character boundaries, and a `pos` inside a character is no match,
// so the token never cuts a character.
class SkipToElement final : public Element {
  // The target searched for.
  ElementHandle expr_;

 public:
  explicit SkipToElement(ElementHandle expr) : expr_(std::move(expr)) { nest_over(*expr_); }

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const Element& expr() const noexcept { return *expr_; }
};

}  // namespace quernlet
