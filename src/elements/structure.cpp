#include "structure.hpp"

#include <algorithm>
#include <bit>
#include <memory>

#include "literals.hpp"
#include "stretch_scan.hpp"

namespace quernlet {

namespace {

// One text token, the slice text[pos, end). Every match ends at its start or
// within the text, so the span lies in the text unless empty.
Token span_token(std::string_view text, Pos pos, Pos end) noexcept {
  return end > pos ? Token::slice(text.substr(pos, end - pos)) : Token();
}

// The sequence loops below build their outcome in `result` and return only
// it (a failure is moved into it first), so it is made in the caller's slot.

// The ZeroOrMore loop shared with OneOrMore. Succeeds with the end of the
// last advancing repetition (`pos` when none) and sets `advanced`; the only
// failure it returns is a child's stack give-up, which must not be taken
// for the end of the repetition.
ParseOutcome repeat_parse(ParseContext& ctx, const Element& child, Pos pos, bool& advanced) {
  ParseOutcome result = ParseOutcome::success(pos);
  advanced = false;
  for (;;) {
    if (run_step()) {
      result = ParseOutcome::stack_exhausted(result.end());
      break;
    }
    const Pos p = skip_before(ctx, child, result.end());
    ParseOutcome out = child.parse_impl(ctx, p);
    if (!out.ok()) {
      if (out.too_deep()) result = std::move(out);
      break;
    }
    if (out.end() <= p) break;
    result.extend(std::move(out));
    advanced = true;
  }
  return result;
}

// The try_match_at form of the same loop, continuing from a match ending at `end`.
Pos repeat_match(std::string_view text, const Element& child, Pos end) noexcept {
  for (;;) {
    if (run_step()) return end;  // the run gave up: the answer is dropped
    const Pos p = skip_before(text, child, end);
    const MatchResult m = child.try_match_at(text, p);
    if (!m.matched || m.end <= p) return end;
    end = m.end;
  }
}

// The starts of one or more attempts of `child` after the child whitespace
// rule: whitespace at the start is consumed once an attempt succeeds, even
// an empty one, so it can start a match too.
StartBytes repeated_starts(const Element& child, bool can_be_empty) noexcept {
  StartBytes starts = child.start_bytes();
  if (child.skips_whitespace()) starts.add_whitespace();
  starts.set_can_be_empty(can_be_empty);
  return starts;
}

// The starts of a sequence: those of each child up to the first one that
// cannot match empty (with the whitespace skipped before it); the sequence
// matches empty only when every child can.
StartBytes sequence_starts(const std::vector<ElementHandle>& children) noexcept {
  StartBytes starts;
  starts.set_can_be_empty(true);
  for (const ElementHandle& child : children) {
    starts.add_all(repeated_starts(*child, false));
    if (!child->start_bytes().can_be_empty()) {
      starts.set_can_be_empty(false);
      break;
    }
  }
  return starts;
}

// The starts of a choice: any alternative's.
StartBytes choice_starts(const std::vector<ElementHandle>& alternatives) noexcept {
  StartBytes starts;
  for (const ElementHandle& alt : alternatives) starts.add_all(alt->start_bytes());
  return starts;
}

}  // namespace

// ---------------------------------------------------------------------------
// Starts of each kind. SkipTo matches the empty text where its target
// matches and a non-empty one from any character boundary before a target,
// so it keeps the default of every byte.

AndElement::AndElement(std::vector<ElementHandle> exprs) : ChildList(std::move(exprs)) {
  set_start_bytes(sequence_starts(exprs_));
}

MatchFirstElement::MatchFirstElement(std::vector<ElementHandle> exprs)
    : ChildList(std::move(exprs)) {
  set_start_bytes(choice_starts(exprs_));
  // With fewer alternatives testing each one's set is as quick; with more
  // some would have no bit.
  if (exprs_.size() < 3 || exprs_.size() > kTableMax) return;
  auto table = std::make_unique<std::array<std::uint64_t, 256>>();
  for (std::size_t i = 0; i < exprs_.size(); ++i) {
    const StartBytes& s = exprs_[i]->start_bytes();
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (s.can_be_empty()) at_end_ |= bit;
    for (unsigned b = 0; b < 256; ++b)
      if (s.can_be_empty() || s.has(static_cast<unsigned char>(b))) (*table)[b] |= bit;
  }
  by_byte_ = std::move(table);
}

OptionalElement::OptionalElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  StartBytes starts = expr_->start_bytes();
  starts.set_can_be_empty(true);
  set_start_bytes(starts);
}

ZeroOrMoreElement::ZeroOrMoreElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  set_start_bytes(repeated_starts(*expr_, true));
}

// try_match_at accepts a first match that does not advance.
OneOrMoreElement::OneOrMoreElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  set_start_bytes(repeated_starts(*expr_, expr_->start_bytes().can_be_empty()));
}

// Every repetition must advance, so only zero of them match empty.
ExactlyElement::ExactlyElement(ElementHandle expr, std::uint64_t count)
    : SingleChild(std::move(expr)), count_(count) {
  StartBytes only_empty;
  only_empty.set_can_be_empty(true);
  set_start_bytes(count == 0 ? only_empty : repeated_starts(*expr_, false));
}

GroupElement::GroupElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  set_start_bytes(expr_->start_bytes());
}

SuppressElement::SuppressElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  set_start_bytes(expr_->start_bytes());
}

// The child parses without skipping whitespace, which can only narrow its starts.
CombineElement::CombineElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  set_start_bytes(expr_->start_bytes());
}

SkipToElement::SkipToElement(ElementHandle expr) : SingleChild(std::move(expr)) {
  // The finder views the target's text, which the target keeps for as long
  // as this element holds it.
  if (const auto* literal = dynamic_cast<const LiteralElement*>(expr_.get())) {
    finder_.emplace(literal->s());
  } else if (const auto* keyword = dynamic_cast<const KeywordElement*>(expr_.get())) {
    finder_.emplace(keyword->s());
    keyword_ = true;
  }
}

// ---------------------------------------------------------------------------
// And

ParseOutcome AndElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  ParseOutcome result = ParseOutcome::success(pos);
  for (const ElementHandle& child : exprs_) {
    ParseOutcome out = child->parse_impl(ctx, skip_before(ctx, *child, result.end()));
    if (!out.ok()) {
      result = std::move(out);
      break;
    }
    result.extend(std::move(out));
  }
  return result;
}

MatchResult AndElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  Pos p = pos;
  for (const ElementHandle& child : exprs_) {
    const MatchResult m = child->try_match_at(text, skip_before(text, *child, p));
    if (!m.matched) return kNoMatch;
    p = m.end;
  }
  return matched_at(p);
}

// ---------------------------------------------------------------------------
// MatchFirst

ParseOutcome MatchFirstElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  if (exprs_.empty()) return ParseOutcome::failure(fixed_string<"No match found">(), pos);
  // Each failure replaces the previous one, so at most one is held; the
  // last alternative's is returned as it is, so the last one always runs.
  // An earlier one that cannot start here would only fail.
  const std::size_t last = exprs_.size() - 1;
  const std::uint64_t may = entry(ctx.text, pos);
  const bool counts = counts_alternatives();
  for (std::size_t i = 0;; ++i) {
    if (i != last && !may_try(may, i, ctx.text, pos)) continue;
    ParseOutcome out = exprs_[i]->parse_impl(ctx, pos);
    if (counts && run_step()) return ParseOutcome::stack_exhausted(pos);
    if (out.ok() || out.too_deep() || i == last) return out;
  }
}

MatchResult MatchFirstElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  if (by_byte_) {
    for (std::uint64_t may = entry(text, pos); may != 0; may &= may - 1) {
      const MatchResult m = exprs_[std::countr_zero(may)]->try_match_at(text, pos);
      if (m.matched) return m;
    }
    return kNoMatch;
  }
  std::uint32_t tried = 0;
  MatchResult m = kNoMatch;
  for (const ElementHandle& alt : exprs_) {
    if (!alt->start_bytes().may_match_at(text, pos)) continue;
    m = alt->try_match_at(text, pos);
    ++tried;
    if (m.matched) break;
  }
  if (counts_alternatives() && run_steps(tried)) return kNoMatch;
  return m;
}

// ---------------------------------------------------------------------------
// Optional

ParseOutcome OptionalElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  ParseOutcome out = expr_->parse_impl(ctx, pos);
  if (out.ok() || out.too_deep()) return out;
  return ParseOutcome::success(pos);
}

MatchResult OptionalElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  const MatchResult m = expr_->try_match_at(text, pos);
  return matched_at(m.matched ? m.end : pos);
}

// ---------------------------------------------------------------------------
// ZeroOrMore

ParseOutcome ZeroOrMoreElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  bool advanced;
  return repeat_parse(ctx, *expr_, pos, advanced);
}

MatchResult ZeroOrMoreElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  return matched_at(repeat_match(text, *expr_, pos));
}

// ---------------------------------------------------------------------------
// OneOrMore

ParseOutcome OneOrMoreElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  bool advanced;
  ParseOutcome out = repeat_parse(ctx, *expr_, pos, advanced);
  if (!out.ok() || advanced) return out;
  return ParseOutcome::failure(fixed_string<"Expected at least one match">(), pos);
}

MatchResult OneOrMoreElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  // Unlike parse_impl, a first match that does not advance is accepted.
  const MatchResult first = expr_->try_match_at(text, skip_before(text, *expr_, pos));
  if (!first.matched) return kNoMatch;
  return matched_at(repeat_match(text, *expr_, first.end));
}

// ---------------------------------------------------------------------------
// Exactly

ParseOutcome ExactlyElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  ParseOutcome result = ParseOutcome::success(pos);
  for (std::uint64_t i = 0; i < count_; ++i) {
    if (run_step()) {
      result = ParseOutcome::stack_exhausted(result.end());
      break;
    }
    const Pos p = skip_before(ctx, *expr_, result.end());
    ParseOutcome out = expr_->parse_impl(ctx, p);
    if (!out.ok()) {
      result = std::move(out);
      break;
    }
    if (out.end() <= p) {
      result = ParseOutcome::failure(fixed_string<"No progress in Exactly">(), p);
      break;
    }
    result.extend(std::move(out));
  }
  return result;
}

MatchResult ExactlyElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  Pos p = pos;
  for (std::uint64_t i = 0; i < count_; ++i) {
    if (run_step()) return kNoMatch;
    p = skip_before(text, *expr_, p);
    const MatchResult m = expr_->try_match_at(text, p);
    if (!m.matched || m.end <= p) return kNoMatch;
    p = m.end;
  }
  return matched_at(p);
}

// ---------------------------------------------------------------------------
// Group

ParseOutcome GroupElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  ParseOutcome out = expr_->parse_impl(ctx, pos);
  if (!out.ok()) return out;
  return ParseOutcome::success(out.end(),
                               Token::list_of({out.tokens().begin(), out.tokens().size()}));
}

MatchResult GroupElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  return expr_->try_match_at(text, pos);
}

// ---------------------------------------------------------------------------
// Suppress

ParseOutcome SuppressElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  const MatchResult m = expr_->try_match_at(ctx.text, pos);
  if (!m.matched) return ParseOutcome::failure(fixed_string<"Suppress: no match">(), pos);
  return ParseOutcome::success(m.end);
}

MatchResult SuppressElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  return expr_->try_match_at(text, pos);
}

// ---------------------------------------------------------------------------
// Combine

ParseOutcome CombineElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  // Restores the caller's flag on every way out, a throwing child included.
  struct SkipWsRestore {
    ParseContext& ctx;
    bool saved;
    ~SkipWsRestore() { ctx.skip_ws = saved; }
  } restore{ctx, ctx.skip_ws};
  ctx.skip_ws = false;

  ParseOutcome out = expr_->parse_impl(ctx, pos);
  if (!out.ok()) return out;
  const Pos end = out.end();
  // A child started inside a character, or one that steps by bytes, could
  // put an end of the span inside one; such a span is no match rather than
  // a token that is not valid UTF-8 (as SkipTo, which never starts there).
  if (!is_char_boundary(ctx.text, pos) || !is_char_boundary(ctx.text, end)) {
    return ParseOutcome::failure(fixed_string<"Combine: no match">(), pos);
  }
  return ParseOutcome::success(end, span_token(ctx.text, pos, end));
}

// The stack check is parse_impl's.
MatchResult CombineElement::try_match_at(std::string_view text, Pos pos) const {
  ParseContext ctx{text, true};
  const ParseOutcome out = CombineElement::parse_impl(ctx, pos);
  return out.ok() ? matched_at(out.end()) : kNoMatch;
}

// ---------------------------------------------------------------------------
// SkipTo

ParseOutcome SkipToElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_low()) return ParseOutcome::stack_exhausted(pos);
  const MatchResult m = find_target(ctx.text, pos);
  if (!m.matched) return ParseOutcome::failure(fixed_string<"SkipTo: target not found">(), pos);
  return ParseOutcome::success(m.end, span_token(ctx.text, pos, m.end));
}

MatchResult SkipToElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_low()) return kNoMatch;
  return find_target(text, pos);
}

Pos SkipToElement::next_target(std::string_view text, Pos pos, Pos limit) const {
  if (finder_) return next_occurrence(text, pos, limit);
  const Element& target = *expr_;
  for (Pos p = pos; p < limit; ++p) {
    if (!is_char_boundary(text, p)) continue;
    if (run_step()) return kNoTarget;
    if (target.try_match_at(text, p).matched) return p;
  }
  return kNoTarget;
}

Pos SkipToElement::next_occurrence(std::string_view text, Pos pos, Pos limit) const noexcept {
  const std::size_t len = finder_->needle().size();
  // The starts go in stretches, each counted towards the interrupt period;
  // a run that gives up finds no target.
  for (Pos from = pos; from < limit;) {
    const Pos stop = stretch_end(from, limit);
    // Only occurrences that start below `stop` fit in the cut text.
    const std::string_view part = text.substr(0, std::min<Pos>(text.size(), stop - 1 + len));
    Pos found = kNoTarget;
    for (Pos start = from;;) {
      const std::size_t at = finder_->find(part, start);
      if (at == kNotFound) break;
      if (is_char_boundary(text, at) && (!keyword_ || word_ends_at(text, at + len))) {
        found = at;
        break;
      }
      start = at + 1;
    }
    if (run_scanned((found == kNoTarget ? stop : found) - from)) return kNoTarget;
    if (found != kNoTarget) return found;
    from = stop;
  }
  return kNoTarget;
}

MatchResult SkipToElement::find_target(std::string_view text, Pos pos) const {
  // Candidates are the character boundaries from pos to the end, the end
  // included; a pos inside a character would start a token that cuts it.
  if (pos > text.size() || !is_char_boundary(text, pos)) return kNoMatch;
  const TargetRecall known = recall_target(*expr_, text, pos);
  if (!known.answered) return search_target(text, pos, known);
  return known.next == kNoTarget ? kNoMatch : matched_at(known.next);
}

MatchResult SkipToElement::search_target(std::string_view text, Pos pos,
                                         const TargetRecall& known) const {
  // Past `bound` the answer is known already: it is `known.next`.
  const Pos limit = std::min(known.bound, text.size() + 1);
  const Pos found = next_target(text, pos, limit);
  // A match at pos itself (a scan stepping past a target) is not worth
  // keeping: the one test is all it costs.
  if (found == pos) return matched_at(pos);
  const Pos next = found != kNoTarget ? found : known.next;
  remember_target(*expr_, text, pos, next, (found != kNoTarget ? found : limit) - pos, known.stamp);
  return next == kNoTarget ? kNoMatch : matched_at(next);
}

}  // namespace quernlet
