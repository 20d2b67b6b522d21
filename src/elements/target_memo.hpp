// Where a target matches next, remembered for the length of one operation.
//
// A SkipTo search from p tries its target at every character boundary up to
// the first match, or up to the end of the text when there is none. A scan
// that starts a match at every position would repeat that search from each
// start, which is quadratic where the target is rare. Whether the target
// matches at a position depends only on the text and the position, so the
// answer of one search holds for the rest of the operation: a search from p
// whose first match was at t answers every start in [p, t], and one that
// found nothing answers every start from p on.
//
// The answers are kept per thread and only while an `OperationScope` is open
// on the thread; outside one (direct engine calls) nothing is remembered or
// looked up. Within a scope a text is identified by its address and length,
// which is sound because every text of an operation stays alive and
// unchanged until the operation ends; the scope's generation keeps answers
// of one operation from reaching another whose text happens to reuse the
// address. An operation that starts over (after a signal handler ran) opens
// a new scope.
//
// Two things make an answer wrong however it was found, so neither is kept:
//   - a search within a run that gave up (for lack of stack, or stopped by
//     the interrupt hook): its attempts failed without being tried;
//   - a change of the grammar (`note_grammar_change`, which every
//     `Forward::set` makes) since the search began. Kept answers hold only
//     for the grammar they were found under: the first lookup after a
//     change forgets them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "element.hpp"

namespace quernlet {

namespace target_memo {

struct Memo;

// The calling thread's scopes: the generation of the innermost open one (0
// when none is open), the last generation handed out, the lookups made, the
// thread's memo (null until it first keeps an answer) and whether anything
// was kept since the outermost scope opened. Initial-exec, so that opening
// and closing a scope, which every call on a grammar with children does, and
// a lookup while nothing is kept are a few instructions, not library calls.
struct ScopeState {
  std::uint64_t generation = 0;
  std::uint64_t last_generation = 0;
  std::uint64_t lookups = 0;
  Memo* memo = nullptr;
  // The `grammar_changes` count last seen by a lookup, and that lookup's
  // stamp: answers of searches that began before it are not kept.
  std::uint64_t grammar = 0;
  std::uint64_t valid_from = 0;
  bool kept = false;
};
extern constinit thread_local ScopeState scope_state [[gnu::tls_model("initial-exec")]];

// The calling thread's `scope_state`. The address passes through an empty
// asm: the linker may rewrite the instruction that computes it into one that
// sets no flags, so no check (the sanitizers' null check) may be fused with
// that instruction.
[[gnu::always_inline]] inline ScopeState& scopes() noexcept {
  ScopeState* s = &scope_state;
  asm("" : "+r"(s));
  return *s;
}

// Forgets every kept answer and releases what the entries hold.
void forget_all() noexcept;

// How many times, process-wide, a grammar has changed.
extern std::atomic<std::uint64_t> grammar_changes;

}  // namespace target_memo

// Records that a grammar changed (a Forward got a new inner element): every
// answer kept so far, on every thread, no longer holds.
inline void note_grammar_change() noexcept {
  target_memo::grammar_changes.fetch_add(1, std::memory_order_release);
}

// Marks one top-level operation on the calling thread. Scopes nest (an
// inner one sees only its own answers and hides nothing from the outer one
// afterwards); the outermost one forgets everything when it closes.
class OperationScope {
 public:
  OperationScope() noexcept {
    target_memo::ScopeState& s = target_memo::scopes();
    outer_ = s.generation;
    s.generation = ++s.last_generation;
  }
  ~OperationScope() {
    target_memo::ScopeState& s = target_memo::scopes();
    s.generation = outer_;
    if (outer_ == 0 && s.kept) [[unlikely]]
      target_memo::forget_all();
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  // The generation of the enclosing scope (0 when there is none).
  std::uint64_t outer_;
};

// "No match from here to the end of the text."
inline constexpr Pos kNoTarget = ~Pos{0};

// What the memo knows about the first match of a target at a boundary at or
// after some position p.
struct TargetRecall {
  // True when `next` is the answer for p itself.
  bool answered = false;
  // The first match (kNoTarget for none); when not `answered`, the first
  // match at or after `bound` instead.
  Pos next = kNoTarget;
  // Not answered: the nearest position above p with a known answer
  // (kNoTarget when there is none). A search from p can stop there.
  Pos bound = kNoTarget;
  // Identifies the lookup, for `remember_target`.
  std::uint64_t stamp = 0;
};

// What is known about `target` on `text` from `pos` (a boundary); nothing
// outside a scope.
TargetRecall recall_target(const Element& target, std::string_view text, Pos pos) noexcept;

// Records that `next` (kNoTarget for none) is the first boundary at or
// after `from` where `target` matches, found by a search that followed the
// lookup `stamp` and tried `searched` positions. Short searches are cheaper
// to repeat than to keep, so unless the target ran searches of its own they
// are kept only where they extend an answer already held. Nothing is kept
// when the run has given up or the grammar changed since the lookup.
void remember_target(const Element& target, std::string_view text, Pos from, Pos next, Pos searched,
                     std::uint64_t stamp) noexcept;

}  // namespace quernlet
