#include "target_memo.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace quernlet::target_memo {

namespace {

// Searches that tried fewer positions are repeated rather than kept: that
// bounds the repeated work per start, keeps short answers from pushing out
// long ones, and spares a batch of short texts an entry per text. A search
// whose target ran searches of its own (SkipTo within the target, or the
// same SkipTo again through a Forward) is kept however short: its work is
// not bounded by the positions it tried, and repeating it at every level of
// a recursion would take exponential time.
constexpr Pos kWorthKeeping = 32;

}  // namespace

// The target matches at no boundary in [from, next) and at `next` (with
// kNoTarget: at none from `from` to the end of the text).
struct Fact {
  Pos from;
  Pos next;
};

// The answers for one target on one text. Several facts are kept because a
// grammar may use one SkipTo at several places of a match (or one target in
// several SkipTos), each searching its own stretch of the text.
struct Entry {
  static constexpr unsigned kFacts = 8;

  // One reference is held (see `Memo`), so that no other element can take
  // this address while the entry lives: a Forward may drop the target
  // mid-operation.
  const Element* target = nullptr;
  const char* data = nullptr;
  std::size_t size = 0;
  // The scope that filled the entry; 0 when empty.
  std::uint64_t generation = 0;
  std::array<Fact, kFacts> facts{};
  unsigned count = 0;   // facts in use
  unsigned victim = 0;  // the fact replaced next once all are in use
  // At least every fact's `next`: a start past it is known to no fact, nor
  // has one above it (the usual case of a scan that has moved on).
  Pos reach = 0;

  bool holds(const Element& t, std::string_view text, std::uint64_t g) const noexcept {
    return generation == g && target == &t && data == text.data() && size == text.size();
  }

  void add(Fact f) noexcept {
    reach = std::max(reach, f.next);
    if (count < kFacts) {
      facts[count++] = f;
      return;
    }
    facts[victim] = f;
    victim = (victim + 1) % kFacts;
  }
};

// The answers a thread keeps. Trivially destructible, so that reaching it is
// one thread-local address and no initialisation check; the references the
// entries hold are released by `clear`, which the outermost scope runs when
// it closes, so none is left when the thread ends.
struct Memo {
  static constexpr unsigned kEntries = 8;

  std::array<Entry, kEntries> entries;
  unsigned last = 0;    // the entry found last, tried first
  unsigned victim = 0;  // the entry replaced next when none is free

  Entry* find(const Element& t, std::string_view text, std::uint64_t g) noexcept {
    if (entries[last].holds(t, text, g)) return &entries[last];
    for (unsigned i = 0; i < kEntries; ++i) {
      if (entries[i].holds(t, text, g)) {
        last = i;
        return &entries[i];
      }
    }
    return nullptr;
  }

  // An entry for `t` on `text`: one left by another scope if there is one,
  // else the next in turn.
  Entry& claim(const Element& t, std::string_view text, std::uint64_t g) noexcept {
    unsigned i = 0;
    while (i < kEntries && entries[i].generation == g) ++i;
    if (i == kEntries) {
      i = victim;
      victim = (victim + 1) % kEntries;
    }
    Entry& e = entries[i];
    t.add_ref();
    if (e.target != nullptr) e.target->release();
    e.target = &t;
    e.data = text.data();
    e.size = text.size();
    e.generation = g;
    e.count = 0;
    e.victim = 0;
    e.reach = 0;
    last = i;
    scopes().kept = true;
    return e;
  }

  void clear() noexcept {
    for (Entry& e : entries) {
      if (e.target != nullptr) e.target->release();
      e.target = nullptr;
      e.generation = 0;
      e.count = 0;
    }
  }
};

static_assert(std::is_trivially_destructible_v<Memo>);

constinit thread_local ScopeState scope_state [[gnu::tls_model("initial-exec")]];

constinit std::atomic<std::uint64_t> grammar_changes{0};

namespace {

// The storage behind `ScopeState::memo`, made on the thread's first use: a
// module loaded at run time has little room for thread storage of its own
// (all of it taken from the static block once any is initial-exec).
struct FreeMemo {
  void operator()(Memo* m) const noexcept {
    m->~Memo();
    std::free(m);
  }
};
thread_local std::unique_ptr<Memo, FreeMemo> memo_storage;

}  // namespace

void forget_all() noexcept {
  ScopeState& s = scopes();
  s.memo->clear();
  s.kept = false;
}

}  // namespace quernlet::target_memo

namespace quernlet {

using target_memo::Entry;
using target_memo::Fact;
using target_memo::Memo;
using target_memo::scopes;
using target_memo::ScopeState;

namespace {

// `recall_target` within scope `s`.
[[gnu::always_inline]] inline TargetRecall lookup(ScopeState& s, const Element& target,
                                                  std::string_view text, Pos pos) noexcept {
  TargetRecall r;
  // A search that sees the count move past its stamp ran searches of its own.
  r.stamp = ++s.lookups;
  if (!s.kept) return r;
  const Entry* e = s.memo->find(target, text, s.generation);
  if (e == nullptr || pos > e->reach) return r;
  for (unsigned i = 0; i < e->count; ++i) {
    const Fact& f = e->facts[i];
    if (f.from <= pos && pos <= f.next) return {true, f.next, kNoTarget, r.stamp};
    if (f.from > pos && f.from < r.bound) {
      r.bound = f.from;
      r.next = f.next;
    }
  }
  return r;
}

// A lookup that finds the grammar changed: what is kept no longer holds, nor
// will the answer of any search that began before this lookup. Out of line,
// so that the usual lookup calls nothing and saves no registers.
[[gnu::noinline, gnu::cold]] TargetRecall lookup_after_change(const Element& target,
                                                              std::string_view text,
                                                              Pos pos) noexcept {
  ScopeState& s = scopes();
  if (s.kept) target_memo::forget_all();
  s.grammar = target_memo::grammar_changes.load(std::memory_order_acquire);
  s.valid_from = s.lookups + 1;  // this lookup's stamp
  return lookup(s, target, text, pos);
}

}  // namespace

TargetRecall recall_target(const Element& target, std::string_view text, Pos pos) noexcept {
  ScopeState& s = scopes();
  if (s.generation == 0) return {};
  if (target_memo::grammar_changes.load(std::memory_order_acquire) != s.grammar) [[unlikely]]
    return lookup_after_change(target, text, pos);
  return lookup(s, target, text, pos);
}

void remember_target(const Element& target, std::string_view text, Pos from, Pos next, Pos searched,
                     std::uint64_t stamp) noexcept {
  ScopeState& s = scopes();
  const std::uint64_t g = s.generation;
  // A search that gave up, or that saw the grammar change (a lookup after
  // it began noticed, or no lookup did yet), found no answer worth keeping.
  if (g == 0 || run_gave_up() || stamp < s.valid_from ||
      target_memo::grammar_changes.load(std::memory_order_acquire) != s.grammar)
    return;
  Entry* e = s.kept ? s.memo->find(target, text, g) : nullptr;
  if (e != nullptr) {
    // Two facts with the same next match join into one: no match lies
    // before it from the smaller start on.
    for (unsigned i = 0; i < e->count; ++i) {
      Fact& f = e->facts[i];
      if (f.next == next) {
        f.from = std::min(f.from, from);
        return;
      }
    }
  }
  if (searched < target_memo::kWorthKeeping && s.lookups == stamp) return;
  if (e == nullptr) {
    if (s.memo == nullptr) {
      auto& storage = target_memo::memo_storage;
      if (!storage) {
        void* const room = std::malloc(sizeof(Memo));
        if (room == nullptr) return;  // no room: the answer is not kept
        storage.reset(new (room) Memo());
      }
      s.memo = storage.get();
    }
    e = &s.memo->claim(target, text, g);
  }
  e->add({from, next});
}

}  // namespace quernlet
