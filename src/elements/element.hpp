// The element engine's common vocabulary.
//
// An element matches a grammar fragment against UTF-8 text at a byte
// position. Every element kind is a `final` class implementing `Element`;
// the virtual table is its operation table, and generic drivers that know
// the kind call its operations directly so they inline. Elements are
// immutable once built (a Forward's inner element excepted), shared by
// atomic intrusive reference counts, and safe to use from several threads.
//
// Failures inside the engine are values (`ParseOutcome`), never exceptions.
// Positions are byte offsets into the text. Nothing here knows of Python.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "small_vector.hpp"

namespace quernlet {

using Pos = std::uint64_t;

// ---------------------------------------------------------------------------
// Intrusive reference counting.

// Base of every reference-counted engine object. Counts start at one: the
// creator's reference, adopted by `Ref::adopt`.
class RefCounted {
 public:
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void add_ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_release) == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      destroy();
    }
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;

 private:
  // Deletes the object. Releasing a long chain (a grammar nested a million
  // levels deep) would recurse once per level, so past a fixed depth the
  // deletions are queued and run by the outermost one instead.
  void destroy() const noexcept;

  mutable std::atomic<std::uint64_t> refs_{1};
};

// An owning pointer to a `RefCounted` object.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  // Takes over the reference that `p` was created with.
  static Ref adopt(T* p) noexcept { return Ref(p, 0); }
  template <class... Args>
  static Ref make(Args&&... args) {
    return adopt(new T(std::forward<Args>(args)...));
  }

  Ref(const Ref& o) noexcept : p_(o.p_) {
    if (p_) p_->add_ref();
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  Ref(Ref<U> o) noexcept : p_(o.release()) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_) p_->release();
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up ownership without releasing.
  T* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  Ref(T* p, int) noexcept : p_(p) {}
  T* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Shared immutable strings: token texts and failure messages.

// One heap block holding an atomic count and the bytes; copies share it.
// The empty string holds no block.
class SharedString {
 public:
  SharedString() noexcept = default;
  explicit SharedString(std::string_view s);
  // A string that lives for the whole process (fixed messages).
  static SharedString immortal(std::string_view s);

  SharedString(const SharedString& o) noexcept : b_(o.b_) {
    if (b_) b_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedString(SharedString&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  SharedString& operator=(SharedString o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~SharedString() {
    if (b_ && b_->refs.fetch_sub(1, std::memory_order_release) == 1) destroy();
  }

  std::string_view view() const noexcept {
    return b_ ? std::string_view(b_->data, b_->size) : std::string_view();
  }
  const char* data() const noexcept { return b_ ? b_->data : ""; }
  std::size_t size() const noexcept { return b_ ? b_->size : 0; }
  bool empty() const noexcept { return size() == 0; }
  // Identity of the shared block (null for the empty string); equal blocks
  // mean equal texts, so callers can use it as a cheap cache key.
  const void* identity() const noexcept { return b_; }
  std::uint64_t use_count() const noexcept {
    return b_ ? b_->refs.load(std::memory_order_relaxed) : 0;
  }

 private:
  struct Block {
    std::atomic<std::uint64_t> refs;
    std::size_t size;
    char data[1];
  };
  void destroy() noexcept;
  Block* b_ = nullptr;
};

// A string literal usable as a template argument.
template <std::size_t N>
struct TextLiteral {
  char chars[N];
  constexpr TextLiteral(const char (&s)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) chars[i] = s[i];
  }
  constexpr std::string_view view() const noexcept { return {chars, N - 1}; }
};

// The process-lifetime string holding `Text`, made on first use: fixed
// failure messages and fixed tokens share it instead of allocating (callers
// cannot tell it from a fresh string).
template <TextLiteral Text>
const SharedString& fixed_string() {
  static const SharedString s = SharedString::immortal(Text.view());
  return s;
}

// ---------------------------------------------------------------------------
// Tokens and results.

// One result token: a text, or a list of tokens (made only by Group).
//
// A text is either shared (a `SharedString`: the prebuilt texts of literal
// kinds, fixed texts, and texts an element builds itself, such as an
// unquoted string with its escapes removed) or a slice of the parsed text,
// which the token refers to without copying. A slice is valid only as long
// as the text it was parsed from: whoever starts a parse must drop or convert
// its tokens before that text goes away.
//
// A list's array is a heap block of its own, or room in the arena of the
// operation that made it (TokenArenaScope), valid while that is open.
//
// Copying shares a text (a slice stays a slice of the same text) and copies
// a list deeply onto the heap; moving never allocates.
class Token {
 public:
  // The empty text.
  Token() noexcept : shared_() {}
  explicit Token(SharedString text) noexcept : shared_(std::move(text)) {}
  // A text token referring to `text` (a slice of the parsed text).
  static Token slice(std::string_view text) noexcept {
    Token t;
    t.shared_.~SharedString();
    t.slice_ = text.data();
    t.count_ = text.size();
    t.form_ = Form::Slice;
    return t;
  }
  // A list token holding `items` (an array of exactly `count` tokens).
  Token(std::unique_ptr<Token[]> items, std::size_t count) noexcept
      : items_(items.release()), count_(count), form_(Form::List) {}
  // A list token holding `tokens`, moved out (each left the empty text):
  // in the thread's open TokenArenaScope when there is one, else in a heap
  // array of its own.
  static Token list_of(std::span<Token> tokens);

  Token(const Token& o);
  Token(Token&& o) noexcept { take(o); }
  Token& operator=(const Token& o);
  Token& operator=(Token&& o) noexcept {
    if (this != &o) {
      drop();
      take(o);
    }
    return *this;
  }
  ~Token() { drop(); }

  bool is_list() const noexcept { return form_ >= Form::List; }
  // Whether the text refers into the parsed text instead of owning a share.
  bool is_slice() const noexcept { return form_ == Form::Slice; }
  // The bytes of a text token (empty for a list).
  std::string_view text() const noexcept {
    switch (form_) {
      case Form::Shared:
        return shared_.view();
      case Form::Slice:
        return {slice_, count_};
      case Form::List:
      case Form::ArenaList:
        break;
    }
    return {};
  }
  // The shared string of a shared text token (the empty string otherwise).
  const SharedString& shared_text() const noexcept;
  std::span<const Token> items() const noexcept {
    return is_list() ? std::span<const Token>(items_, count_) : std::span<const Token>();
  }
  std::span<Token> items() noexcept {
    return is_list() ? std::span<Token>(items_, count_) : std::span<Token>();
  }

 private:
  // ArenaList: the array lives in a TokenArena, which frees it.
  enum class Form : std::uint8_t { Shared, Slice, List, ArenaList };

  // Moves `o`'s value into this token, whose storage holds nothing live, and
  // leaves `o` the empty text.
  void take(Token& o) noexcept {
    form_ = o.form_;
    count_ = std::exchange(o.count_, 0);
    switch (form_) {
      case Form::Shared:
        new (&shared_) SharedString(std::move(o.shared_));
        return;
      case Form::Slice:
        slice_ = o.slice_;
        break;
      case Form::List:
      case Form::ArenaList:
        items_ = o.items_;
        break;
    }
    o.form_ = Form::Shared;
    new (&o.shared_) SharedString();
  }
  // Ends the lifetime of the value (the storage is then reused or freed).
  void drop() noexcept {
    if (form_ == Form::Shared)
      shared_.~SharedString();
    else if (form_ == Form::List)
      std::unique_ptr<Token[]> owned(items_);  // frees the array and its items
    else if (form_ == Form::ArenaList)
      drop_arena_list();
  }
  void drop_arena_list() noexcept;

  // One of the three, by `form_`; a token is three machine words.
  union {
    SharedString shared_;  // Shared: the text
    const char* slice_;    // Slice: the first byte
    Token* items_;         // List: the owned array; ArenaList: the array (null when empty)
  };
  std::size_t count_ = 0;  // Slice: length; List: item count
  Form form_ = Form::Shared;
};

static_assert(sizeof(Token) == 3 * sizeof(void*));

using ParseResults = SmallVector<Token, 2>;

// The list arrays of one operation. While a scope is open on a thread, the
// lists that Group makes there take their arrays from the scope's arena, in
// a few large blocks, instead of a heap block each; the blocks are freed
// when the scope closes. Whoever opens a scope must drop every token made
// under it first (declare the scope before the outcome): a copy of a list
// token is made on the heap and may outlive it. Scopes nest; the innermost
// one serves.
class TokenArenaScope {
 public:
  TokenArenaScope() noexcept;
  TokenArenaScope(const TokenArenaScope&) = delete;
  TokenArenaScope& operator=(const TokenArenaScope&) = delete;
  ~TokenArenaScope();

  // Uninitialised room for `n` > 0 tokens, or null for the thread when no
  // scope is open.
  static Token* allocate(std::size_t n);
  // Gives back the room of `n` tokens at `room` when it is the last room
  // handed out (its tokens must be destroyed before anything is allocated
  // again): a parse that backtracks drops the lists it made last, so their
  // room serves again instead of piling up.
  static void give_back(Token* room, std::size_t n) noexcept;

 private:
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;  // free room in the last block
  std::size_t left_ = 0;       // bytes of free room
  TokenArenaScope* outer_;     // the scope this one hides
};

// The result of `parse_impl`: an end and tokens, or a failure (a shared
// message and the byte position where the failure arose). A too-deep failure
// is a parse abandoned because the calling thread's stack ran low (runaway
// recursion), which callers must not treat as an ordinary failure to match.
class ParseOutcome {
 public:
  static ParseOutcome success(Pos end) noexcept { return ParseOutcome(end); }
  static ParseOutcome success(Pos end, ParseResults tokens) noexcept {
    return ParseOutcome(end, std::move(tokens));
  }
  // Success with the one token `token`.
  static ParseOutcome success(Pos end, Token token) {
    ParseOutcome o(end);
    o.tokens_.push_back(std::move(token));
    return o;
  }
  static ParseOutcome failure(SharedString message, Pos position) noexcept {
    ParseOutcome o;
    o.ok_ = false;
    o.pos_ = position;
    o.message_ = std::move(message);
    return o;
  }
  static ParseOutcome stack_exhausted(Pos position) noexcept;

  // Continues this success with the success `next`: its end and its tokens
  // after these (`next` is left without tokens).
  void extend(ParseOutcome&& next) {
    pos_ = next.pos_;
    tokens_.append(std::move(next.tokens_));
  }

  bool ok() const noexcept { return ok_; }
  // Success: where the match ends.
  Pos end() const noexcept { return pos_; }
  ParseResults& tokens() noexcept { return tokens_; }
  const ParseResults& tokens() const noexcept { return tokens_; }
  // Failure: the message, the position and whether it was a stack give-up.
  const SharedString& message() const noexcept { return message_; }
  Pos position() const noexcept { return pos_; }
  bool too_deep() const noexcept { return too_deep_; }

 private:
  ParseOutcome() noexcept = default;
  explicit ParseOutcome(Pos end) noexcept : pos_(end), ok_(true) {}
  ParseOutcome(Pos end, ParseResults&& tokens) noexcept
      : tokens_(std::move(tokens)), pos_(end), ok_(true) {}
  ParseResults tokens_;
  SharedString message_;
  Pos pos_ = 0;
  bool ok_ = false;
  bool too_deep_ = false;
};

// The input of one parse. `skip_ws` governs the child whitespace rule in
// `parse_impl`; Combine clears it for its subtree and restores it.
struct ParseContext {
  std::string_view text;
  bool skip_ws = true;
};

// The result of `try_match_at`: `end` is meaningful only when `matched`.
struct MatchResult {
  bool matched = false;
  Pos end = 0;
};

inline constexpr MatchResult kNoMatch{};
inline constexpr MatchResult matched_at(Pos end) noexcept { return {true, end}; }

// How a kind's tokens relate to its match; drivers use it to decide whether
// the allocation-free `try_match_at` suffices.
enum class ElementClass : std::uint8_t { Normal = 0, Suppress = 1, Group = 2, Complex = 3 };

// ---------------------------------------------------------------------------
// Whitespace and UTF-8.

// Tab, line feed, carriage return and space: the whitespace that elements
// skip. Form feed and vertical tab are not whitespace.
inline constexpr bool is_whitespace(unsigned char b) noexcept {
  return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

// The first position q >= p whose byte is not whitespace, or the length.
// Positions at or past the end are returned unchanged.
inline Pos advance_past_whitespace(std::string_view text, Pos p) noexcept {
  while (p < text.size() && is_whitespace(static_cast<unsigned char>(text[p]))) ++p;
  return p;
}

// True when `pos` does not fall inside a multi-byte character.
inline bool is_char_boundary(std::string_view text, Pos pos) noexcept {
  return pos == 0 || pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
}

// The first character boundary at or after `p`, or the length.
inline Pos next_char_boundary(std::string_view text, Pos p) noexcept {
  while (p < text.size() && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80) ++p;
  return p;
}

// Decodes the character starting at `pos` of well-formed UTF-8 text
// (`pos` < size, on a boundary). Returns the code point and sets `len`.
inline std::uint32_t decode_utf8(std::string_view text, Pos pos, unsigned& len) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t left = text.size() - pos;
  unsigned char b = s[0];
  if (b < 0x80) {
    len = 1;
    return b;
  }
  const unsigned need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
  if (need != 0 && left >= need) {
    len = need;
    if (need == 2) return ((b & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    if (need == 3) return ((b & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    return ((b & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
  }
  len = 1;  // continuation byte or truncated text: treat as one opaque byte
  return 0xFFFD;
}

// ---------------------------------------------------------------------------
// What a match can start with.

// The bytes at which an element's non-empty match can start, and whether it
// can match the empty text. Kinds compute it once, at construction, from
// their own arguments or from their children; scans use it to pass over
// positions where no match can start. A set may hold more than the element
// can start with (never less): every byte with the empty match is the safe
// answer for a kind that cannot tell.
class StartBytes {
 public:
  // No byte, no empty match: the element never matches.
  StartBytes() noexcept = default;
  // Every byte, and the empty match.
  static StartBytes anything() noexcept {
    StartBytes s;
    s.bits_.fill(~std::uint64_t{0});
    s.empty_ = true;
    return s;
  }

  // The bytes b whose bit b % 64 is set in word b / 64 of `words`.
  static StartBytes of_words(const std::array<std::uint64_t, 4>& words) noexcept {
    StartBytes s;
    s.bits_ = words;
    return s;
  }

  void add(unsigned char b) noexcept { bits_[b >> 6] |= std::uint64_t{1} << (b & 63); }
  void add_whitespace() noexcept {
    for (unsigned char b : {'\t', '\n', '\r', ' '}) add(b);
  }
  // Adds the bytes of `o`, and its empty match.
  void add_all(const StartBytes& o) noexcept {
    for (std::size_t i = 0; i < bits_.size(); ++i) bits_[i] |= o.bits_[i];
    empty_ = empty_ || o.empty_;
  }
  void set_can_be_empty(bool empty) noexcept { empty_ = empty; }
  // Adds every byte that `decode_utf8` can read as the start of code point
  // `c`: its lead byte in each encoding length that can hold it, so that
  // over-long forms in malformed text are covered too.
  void add_char(std::uint32_t c) noexcept {
    if (c < 0x80) return add(static_cast<unsigned char>(c));
    if (c < 0x800) add(static_cast<unsigned char>(0xC0 | (c >> 6)));
    if (c < 0x10000) add(static_cast<unsigned char>(0xE0 | (c >> 12)));
    if (c < 0x200000) {
      add(static_cast<unsigned char>(0xF0 | (c >> 18)));
      add(static_cast<unsigned char>(0xF8 | (c >> 18)));
    }
  }

  bool has(unsigned char b) const noexcept { return ((bits_[b >> 6] >> (b & 63)) & 1) != 0; }
  bool can_be_empty() const noexcept { return empty_; }
  // Whether no byte is ruled out, so a scan can pass over nothing.
  bool every_byte() const noexcept {
    return (bits_[0] & bits_[1] & bits_[2] & bits_[3]) == ~std::uint64_t{0};
  }
  // Whether a match of either length can start at `pos` (<= size).
  bool may_match_at(std::string_view text, Pos pos) const noexcept {
    return empty_ || (pos < text.size() && has(static_cast<unsigned char>(text[pos])));
  }
  const std::array<std::uint64_t, 4>& bits() const noexcept { return bits_; }

 private:
  // Byte b is bit b % 64 of word b / 64.
  std::array<std::uint64_t, 4> bits_{};
  bool empty_ = false;
};

// ---------------------------------------------------------------------------
// Runaway recursion.
//
// Every container (the combinators and Forward) checks the real stack of the
// calling thread on entry, so no shape of grammar, nor recursion through a
// Forward, can run past the check. When less than a safety margin is left,
// the match gives up: `parse_impl` fails with a too-deep failure and
// `try_match_at` reports no match, and the thread's too-deep flag is set.
// The flag is sticky so that an alternative or repetition that swallows the
// failure cannot hide it; whoever started the run takes it afterwards with
// `take_too_deep` and reports runaway recursion instead of the result.
//
// The same entries count towards interrupts, and so does the work within
// one entry that may run long: the steps of loops (a repetition's rounds, a
// SkipTo scan's positions, `run_step`), alternatives tried, KiB scanned
// (`run_scanned`) and regular-expression searches (`run_search`). Once
// every kInterruptPeriod of them the engine asks the program, through the
// hook installed with `set_interrupt_hook`, whether the run should stop (a
// signal such as Ctrl-C arrived); the hook may also run code of its own
// there (signal handlers). When the run should stop, it gives up exactly as
// for lack of stack, and whoever installed the hook knows why.

namespace stack_guard {

inline constexpr std::uint32_t kInterruptPeriod = 4096;
// Searches are timed: the second of a run, and then at intervals that
// double while searches are quick (see `run_search`).
inline constexpr std::uint32_t kFirstTimedSearch = 2;

// The calling thread's guard. `limit` is what every entry compares the
// stack pointer against: the measured floor, or the highest address while
// the floor is unmeasured or the flag is set, so that the one compare also
// sends the first entry on a thread and every entry after a give-up to
// `exhausted`.
struct ThreadState {
  std::uintptr_t limit = UINTPTR_MAX;
  std::uintptr_t floor = UINTPTR_MAX;  // UINTPTR_MAX until measured
  // Entries and steps left until the interrupt hook is next asked; entries
  // count only while the compare against `limit` passes.
  std::uint32_t countdown = kInterruptPeriod;
  // Searches left until the next one is timed (see `run_search`).
  std::uint32_t search_countdown = kFirstTimedSearch;
  bool too_deep = false;
  // Whether no search of the run has been timed yet.
  bool search_fresh = true;
};

// Initial-exec: the engine is linked into a module that is loaded at run
// time, where the default model would make every access a library call.
extern constinit thread_local ThreadState thread_state [[gnu::tls_model("initial-exec")]];

// The slow side of `stack_nearly_exhausted`: measures the floor on the
// thread's first entry, asks the interrupt hook when the countdown runs
// out, and otherwise reports and records a give-up.
bool exhausted(std::uintptr_t sp) noexcept;
// The slow side of `run_step`: the countdown ran out.
bool period_ended() noexcept;
// The slow side of `run_search`: a search to time.
bool search_timed() noexcept;

// `steps` of work, as counted at once: at most one period.
inline constexpr std::uint32_t steps_of(std::size_t steps) noexcept {
  return steps < kInterruptPeriod ? static_cast<std::uint32_t>(steps) : kInterruptPeriod;
}

// The current stack pointer (an address within the caller's frame).
[[gnu::always_inline]] inline std::uintptr_t stack_pointer() noexcept {
#if defined(__x86_64__)
  std::uintptr_t sp;
  asm("movq %%rsp, %0" : "=r"(sp));
  return sp;
#elif defined(__aarch64__)
  std::uintptr_t sp;
  asm("mov %0, sp" : "=r"(sp));
  return sp;
#else
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

}  // namespace stack_guard

// Whether a container must give up for lack of stack (or on an interrupt):
// one compare and a countdown while the stack is fine.
[[gnu::always_inline]] inline bool stack_nearly_exhausted() noexcept {
  const std::uintptr_t sp = stack_guard::stack_pointer();
  stack_guard::ThreadState& t = stack_guard::thread_state;
  if (sp >= t.limit && --t.countdown != 0) [[likely]]
    return false;
  return stack_guard::exhausted(sp);
}

// One step of a loop that may run long within one container entry: counts
// towards the interrupt period as an entry does. True when the run must
// give up: the hook stopped it now, or it gave up before (a give-up is
// sticky, so the loop's further attempts could only fail).
[[gnu::always_inline]] inline bool run_step() noexcept {
  stack_guard::ThreadState& t = stack_guard::thread_state;
  if (--t.countdown != 0) [[likely]]
    return false;
  return stack_guard::period_ended();
}

// Work within one entry that is neither an entry nor a loop step counts
// towards the interrupt period too, so that the period bounds time whatever
// the text: `steps` entries' worth of it (alternatives tried, tokens built).
// True when the run must give up, as for `run_step`.
[[gnu::always_inline]] inline bool run_steps(std::uint32_t steps) noexcept {
  stack_guard::ThreadState& t = stack_guard::thread_state;
  if (steps < t.countdown) [[likely]] {
    t.countdown -= steps;
    return false;
  }
  return stack_guard::period_ended();
}

// A byte scan counts one step per kScanBytesPerStep bytes it passed over; a
// scan that may cover a whole text goes in stretches of kScanStretch bytes,
// counting each, so that a signal need not wait for the end of a long text.
inline constexpr std::size_t kScanBytesPerStep = 1024;
inline constexpr std::size_t kScanStretch = std::size_t{1} << 20;

// Counts a scan over `bytes` bytes; true when the run must give up.
[[gnu::always_inline]] inline bool run_scanned(std::size_t bytes) noexcept {
  if (bytes < kScanBytesPerStep) [[likely]]
    return false;
  return run_steps(stack_guard::steps_of(bytes / kScanBytesPerStep));
}

// Counts one call of a matcher that cannot be cut short and may read past
// what it reports (a regular-expression search, which may read to the end
// of the text to find that nothing longer matches): the `bytes` it reported
// count as a scan. As what such a call read is not known, searches are
// also timed, at intervals that double while they are quick: searches that
// take long ask the hook after every one. True when the run must give up.
[[gnu::always_inline]] inline bool run_search(std::size_t bytes) noexcept {
  if (--stack_guard::thread_state.search_countdown == 0) [[unlikely]] {
    if (stack_guard::search_timed()) return true;
  }
  return run_scanned(bytes);
}

void note_too_deep() noexcept;

namespace stack_guard {
// The slow side of `take_too_deep`: the flag is set.
bool take_given_up() noexcept;
}  // namespace stack_guard

// Takes the calling thread's give-up flag: true when its run gave up. Whoever
// takes the flag has finished a run, so the next one times its searches
// afresh.
[[gnu::always_inline]] inline bool take_too_deep() noexcept {
  using stack_guard::thread_state;
  thread_state.search_countdown = stack_guard::kFirstTimedSearch;
  thread_state.search_fresh = true;
  if (!thread_state.too_deep) [[likely]]
    return false;
  return stack_guard::take_given_up();
}
// Whether the calling thread's run has given up (the flag is not taken).
inline bool run_gave_up() noexcept { return stack_guard::thread_state.too_deep; }

// The bytes of stack that code the interrupt hook runs may use below the
// caller's frame: down to the floor, and then the room the floor keeps below
// it for the hook (measured on the first call if no run measured it).
std::size_t hook_stack_left() noexcept;

// Asked every so many entries and steps whether the run should stop; true
// gives it up. It runs on the run's thread, in the middle of the run, at
// any depth (`hook_stack_left` tells how much room the code it runs has), and
// may start runs of its own there. Null (the default) never stops a run.
using InterruptHook = bool (*)() noexcept;
void set_interrupt_hook(InterruptHook hook) noexcept;

// ---------------------------------------------------------------------------
// The element interface.

class Element : public RefCounted {
 public:
  // Parses at `pos` and builds tokens. Does not skip whitespace at `pos`.
  virtual ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const = 0;
  // The same test as `parse_impl` without tokens or messages; allocates
  // nothing (Combine, Forward and general Regex excepted). Applies the child
  // whitespace rule as if `skip_ws` were set.
  virtual MatchResult try_match_at(std::string_view text, Pos pos) const = 0;
  // Skips leading whitespace from 0, then parses there (`ElementKind` has
  // the common rule). The outcome's end is where the match stopped; nothing
  // checks that the text was used up.
  virtual ParseOutcome parse_from_start(std::string_view text) const = 0;
  virtual ElementClass element_class() const noexcept { return ElementClass::Normal; }
  // Whether a sequence or repetition skips whitespace before this element
  // (a flag, not a virtual call: every child of every sequence asks).
  bool skips_whitespace() const noexcept { return skips_whitespace_; }
  // What a match can start with: an attempt at `pos` (by `try_match_at`, or
  // by `parse_impl` with `skip_ws` either way) ends past `pos` only when
  // `pos` is below the length and its byte is in the set, and ends at `pos`
  // only when the set allows the empty match.
  const StartBytes& start_bytes() const noexcept { return start_bytes_; }

 protected:
  // Whether a combinator must give up for lack of stack.
  static bool stack_low() noexcept { return stack_nearly_exhausted(); }
  // Kinds that can tell narrow the set in their constructors.
  void set_start_bytes(const StartBytes& s) noexcept { start_bytes_ = s; }
  // Kinds that take whitespace as text turn the skip off in their constructors.
  void set_skips_whitespace(bool skips) noexcept { skips_whitespace_ = skips; }

 private:
  StartBytes start_bytes_ = StartBytes::anything();
  bool skips_whitespace_ = true;
};

using ElementHandle = Ref<const Element>;

// Base of every kind that follows the common start rule: skip whitespace
// from 0, run `Kind::parse_impl` there (called directly, so it inlines),
// and report a run that gave up for lack of stack as such, whatever its
// result.
template <class Kind>
class ElementKind : public Element {
 public:
  ParseOutcome parse_from_start(std::string_view text) const final {
    ParseContext ctx{text, true};
    const Pos start = advance_past_whitespace(text, 0);
    ParseOutcome out = static_cast<const Kind&>(*this).Kind::parse_impl(ctx, start);
    if (take_too_deep()) return ParseOutcome::stack_exhausted(start);
    return out;
  }
};

// The child whitespace rule: where a sequence or repetition tries `child`
// at `p`, it first skips whitespace when the child asks for it.
inline Pos skip_before(const ParseContext& ctx, const Element& child, Pos p) noexcept {
  return ctx.skip_ws && child.skips_whitespace() ? advance_past_whitespace(ctx.text, p) : p;
}
inline Pos skip_before(std::string_view text, const Element& child, Pos p) noexcept {
  return child.skips_whitespace() ? advance_past_whitespace(text, p) : p;
}

}  // namespace quernlet
