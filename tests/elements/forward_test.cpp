#include "forward.hpp"

#include <alloca.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "chars.hpp"
#include "literals.hpp"
#include "positional.hpp"
#include "sanitizers.hpp"
#include "structure.hpp"
#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;

ElementHandle lit(std::string_view s) { return mk<LiteralElement>(s); }
ElementHandle seq(std::vector<ElementHandle> v) { return mk<AndElement>(std::move(v)); }
ElementHandle first_of(std::vector<ElementHandle> v) { return mk<MatchFirstElement>(std::move(v)); }

// A Forward owned by a test. A grammar that reaches its Forward from the
// inner element is a cycle of handles; unsetting on exit breaks it so that
// the leak checker sees only real leaks.
struct TestForward {
  Ref<ForwardElement> f = mk<ForwardElement>();
  ~TestForward() { f->set(nullptr); }
  ElementHandle handle() const { return f; }
  const ForwardElement* operator->() const { return f.get(); }
};

// f <<= '(' + f + ')' | leaf
void set_nested(const TestForward& f, ElementHandle leaf) {
  f->set(first_of({seq({lit("("), f.handle(), lit(")")}), std::move(leaf)}));
}

std::string nested(std::size_t depth, std::string_view leaf = "x") {
  return std::string(depth, '(') + std::string(leaf) + std::string(depth, ')');
}

// Runs `body` and ends the process when it has not finished after a
// generous deadline: a deadlocked thread cannot be recovered, and a hanging
// test would hide which one failed.
void within_deadline(const char* what, const std::function<void()>& body) {
  std::promise<void> done;
  std::thread watchdog([&, finished = done.get_future()] {
    if (finished.wait_for(30s) == std::future_status::timeout) {
      std::fprintf(stderr, "FAILED: %s did not finish (deadlock)\n", what);
      std::_Exit(1);
    }
  });
  body();
  done.set_value();
  watchdog.join();
}

// Runs `body` on a new thread whose stack is exactly `stack_bytes` long,
// or on the calling thread when `stack_bytes` is 0. The stack is mapped
// here, with an inaccessible page below it: a thread library's own stacks
// may come from a cache of larger ones, which would hide an overflow.
void run_with_stack(std::size_t stack_bytes, const std::function<void()>& body) {
  if (stack_bytes == 0) return body();
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, stack_bytes + page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map, page, PROT_NONE), 0);
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstack(&attr, static_cast<char*>(map) + page, stack_bytes), 0);
  pthread_t thread;
  void* (*start)(void*) = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, start, const_cast<std::function<void()>*>(&body)), 0);
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
  munmap(map, stack_bytes + page);
}

TEST(ForwardTest, UnsetFailsAtItsPositionAndSetReplacesEverywhere) {
  TestForward f;
  const ElementHandle built_before = seq({lit("a"), f.handle()});
  expect_match(*f.f, "abcd", 3, "@3 Forward not initialized");
  EXPECT_EQ(show(built_before->parse_from_start("a  b")), "@3 Forward not initialized");
  EXPECT_EQ(show(first_of({f.handle(), lit("a")})->parse_from_start("a")), "1: 'a'");
  f->set(lit("b"));
  f->set(lit("c"));
  EXPECT_EQ(show(built_before->parse_from_start("a c")), "3: 'a','c'");
  EXPECT_EQ(show(built_before->try_match_at("a b", 0)), "none");
  // Whitespace is skipped before a Forward, even to rest_of_line.
  f->set(mk<RestOfLineElement>());
  EXPECT_EQ(show(built_before->parse_from_start("a  xyz\n")), "6: 'a','xyz'");
}

TEST(ForwardTest, RecursiveGrammarParsesNestedInput) {
  TestForward f;
  set_nested(f, lit("x"));
  EXPECT_EQ(show(f->parse_from_start("( (x) )")), "7: '(','(','x',')',')'");
  expect_match(*f.f, "((x)", 0, "@0 Expected 'x'");
  const std::string deep = nested(1000);
  EXPECT_EQ(f->parse_from_start(deep).tokens().size(), 2001u);
  // The match test takes the read lock a thousand times and allocates nothing.
  const long before = allocations_on_this_thread();
  EXPECT_EQ(f->try_match_at(deep, 0).end, deep.size());
  EXPECT_EQ(allocations_on_this_thread(), before);
  EXPECT_FALSE(take_too_deep());
}

// A ring of more Forwards than a thread keeps count of, each entered many
// times within the others, leaves every read lock free afterwards (a `set`
// from another thread would wait forever behind one left taken), and the
// parse sees each later `set`.
TEST(ForwardTest, ManyForwardsEnteredInTurnReleaseEveryReadLock) {
  std::vector<TestForward> ring(7);
  auto wire = [&](std::string_view leaf) {
    for (std::size_t i = 0; i < ring.size(); ++i)
      ring[i]->set(
          first_of({seq({lit("("), ring[(i + 1) % ring.size()].handle(), lit(")")}), lit(leaf)}));
  };
  wire("x");
  const std::string deep = nested(40);
  EXPECT_EQ(ring[0]->parse_from_start(deep).tokens().size(), 81u);
  EXPECT_EQ(ring[3]->try_match_at(deep, 0).end, deep.size());
  expect_match(*ring[0].f, nested(40, "y"), 0, "@0 Expected 'x'");
  within_deadline("set after nested reads", [&] {
    std::thread writer([&] { wire("y"); });
    writer.join();
  });
  EXPECT_EQ(ring[5]->parse_from_start(nested(40, "y")).tokens().size(), 81u);
}

// ---------------------------------------------------------------------------
// Runaway recursion gives up before the stack runs out, on the main thread
// and on threads with small stacks.

class RunawayRecursionTest : public testing::TestWithParam<std::size_t> {};

// The parse reports the give-up itself. `try_match_at` has only the flag to
// say so: its result is no match where nothing can recover, but where an
// alternative without a Forward matches after the give-up (`recovers`), the
// result means nothing and the flag alone tells.
void expect_gives_up(const Element& e, std::string_view text, bool recovers = false) {
  EXPECT_TRUE(e.parse_from_start(text).too_deep());
  EXPECT_FALSE(take_too_deep()) << "the start rule must take the flag";
  const MatchResult m = e.try_match_at(text, 0);
  EXPECT_TRUE(recovers || !m.matched);
  EXPECT_TRUE(take_too_deep());
}

TEST_P(RunawayRecursionTest, GivesUpWithoutOverflowingTheStack) {
  run_with_stack(GetParam(), [] {
    TestForward self, left, left_or_x, f;
    self->set(self.handle());
    expect_gives_up(*self.f, "abc");
    left->set(seq({left.handle(), lit("x")}));  // f <<= f + 'x'
    expect_gives_up(*left.f, "xxx");
    left_or_x->set(first_of({seq({left_or_x.handle(), lit("x")}), lit("x")}));
    expect_gives_up(*left_or_x.f, "xxx", /*recovers=*/true);
    set_nested(f, lit("x"));
    expect_gives_up(*f.f, nested(200000));
    // The thread is usable again afterwards.
    EXPECT_EQ(show(f->parse_from_start(nested(1))), "3: '(','x',')'");
    EXPECT_TRUE(f->try_match_at(nested(3), 0).matched);
    EXPECT_FALSE(take_too_deep());
  });
}

// `e` inside `levels` single-child combinators, cycling through the first
// `kinds` of Group, Optional, Exactly(1), OneOrMore, And, Combine.
ElementHandle wrapped(ElementHandle e, int levels, int kinds) {
  using Wrap = ElementHandle (*)(ElementHandle);
  static const Wrap wraps[] = {
      [](ElementHandle e) -> ElementHandle { return mk<GroupElement>(std::move(e)); },
      [](ElementHandle e) -> ElementHandle { return mk<OptionalElement>(std::move(e)); },
      [](ElementHandle e) -> ElementHandle { return mk<ExactlyElement>(std::move(e), 1); },
      [](ElementHandle e) -> ElementHandle { return mk<OneOrMoreElement>(std::move(e)); },
      [](ElementHandle e) { return seq({std::move(e)}); },
      [](ElementHandle e) -> ElementHandle { return mk<CombineElement>(std::move(e)); }};
  for (int i = 0; i < levels; ++i) e = wraps[i % kinds](std::move(e));
  return e;
}

// Runs `body` below `bytes` of extra stack.
[[gnu::noinline]] void with_stack_offset(std::size_t bytes, const std::function<void()>& body) {
  auto* pad = static_cast<volatile char*>(alloca(bytes + 1));
  pad[bytes] = 0;
  body();
  pad[0] = pad[bytes];
}

// Thirty combinators and a regular expression that scans the rest of the
// text between one entry of the Forward and the next. The margin left when
// the guard gives up must hold whatever runs below the floor, wherever in
// the level it is crossed, so the run is repeated from start depths that
// move the crossing through every part of the level.
class SmallStackTest : public testing::TestWithParam<std::size_t> {};

TEST_P(SmallStackTest, MarginHoldsWhatRunsBelowTheFloor) {
  TestForward f;
  std::string error;
  ElementHandle scan = RegexElement::compile(R"(\([(x]*q)", error);
  ASSERT_TRUE(scan) << error;
  ElementHandle level = first_of({scan, seq({lit("("), f.handle(), lit(")")}), lit("x")});
  f->set(wrapped(std::move(level), 30, 6));
  const std::string text = nested(2000);
  run_with_stack(GetParam(), [&] {
    for (std::size_t offset = 0; offset < std::min<std::size_t>(24u << 10, GetParam() / 2);
         offset += 256) {
      with_stack_offset(offset, [&] {
        ASSERT_TRUE(f->parse_from_start(text).too_deep()) << "from " << offset << " bytes down";
        f->try_match_at(text, 0);
        ASSERT_TRUE(take_too_deep());
      });
    }
  });
}

std::string stack_name(const testing::TestParamInfo<std::size_t>& info) {
  return info.param == 0 ? std::string("MainThread") : std::to_string(info.param >> 10) + "KiB";
}

INSTANTIATE_TEST_SUITE_P(Stacks, RunawayRecursionTest,
                         testing::Values(std::size_t{0}, std::size_t{256} << 10,
                                         std::size_t{64} << 10, std::size_t{32} << 10),
                         stack_name);
INSTANTIATE_TEST_SUITE_P(Stacks, SmallStackTest,
                         testing::Values(std::size_t{256} << 10, std::size_t{64} << 10,
                                         std::size_t{32} << 10),
                         stack_name);

// Trees nested far deeper than any stack holds, with no Forward in them:
// each step wraps the tree as MatchFirst([tree, wrap(tree)]), so the
// nesting grows by two, three or four levels per step while the match of
// "a" walks only the first alternatives. Whatever the shape, matching
// answers as the leaf does or gives up, and releasing the tree on the same
// thread does not recurse once per level either.
class DeepTreeTest : public testing::TestWithParam<std::size_t> {};

TEST_P(DeepTreeTest, AnswersOrGivesUpWhateverTheGrowthPerStep) {
  const std::size_t steps = GetParam() == 0 ? 400000 : 20000;
  for (int growth : {2, 3, 4}) {
    run_with_stack(GetParam(), [&] {
      ElementHandle tree = lit("a");
      for (std::size_t i = 0; i < steps; ++i) tree = first_of({tree, wrapped(tree, growth - 1, 3)});
      const ParseOutcome out = tree->parse_from_start("a");
      EXPECT_TRUE(out.too_deep() || show(out) == "1: 'a'") << growth << ": " << show(out);
      const MatchResult m = tree->try_match_at("a", 0);
      EXPECT_TRUE(take_too_deep() || (m.matched && m.end == 1)) << growth;
      EXPECT_EQ(show(lit("a")->parse_from_start("a")), "1: 'a'");
      tree = nullptr;
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Stacks, DeepTreeTest,
                         testing::Values(std::size_t{0}, std::size_t{256} << 10,
                                         std::size_t{64} << 10, std::size_t{32} << 10),
                         stack_name);

// However deep a run goes before the guard stops it, the code that the
// interrupt hook runs there (signal handlers) still has room below it.
// Descends in frames of a few hundred bytes until the guard gives up, and
// answers the hook's room there.
[[gnu::noinline]] std::size_t room_at_the_floor() {
  char pad[256];
  asm volatile("" : : "r"(pad) : "memory");  // the frame keeps its pad
  if (stack_nearly_exhausted()) return hook_stack_left();
  const std::size_t room = room_at_the_floor();
  asm volatile("" : : "r"(room) : "memory");  // and the call is no tail call
  return room;
}

class HookRoomTest : public testing::TestWithParam<std::size_t> {};

TEST_P(HookRoomTest, HandlersHaveRoomWhereRunsGiveUp) {
  run_with_stack(GetParam(), [] {
    const std::size_t at_start = hook_stack_left();
    const std::size_t at_floor = room_at_the_floor();
    EXPECT_TRUE(take_too_deep());
    EXPECT_LT(at_floor, at_start);
    EXPECT_GE(at_floor, (32u << 10) * stack_guard::kFrameScale);
  });
}

INSTANTIATE_TEST_SUITE_P(Stacks, HookRoomTest,
                         testing::Values(std::size_t{0}, std::size_t{256} << 10), stack_name);

// ---------------------------------------------------------------------------
// The lock.

// A reader that holds the lock (a recursive parse inside a Forward) and
// enters again while a writer (`set`) waits must not queue behind that
// writer, which waits for the reader itself.
TEST(ReentrantSharedLockTest, ReaderReentersWhileAWriterWaits) {
  ReentrantSharedLock lock;
  std::atomic<bool> writer_started = false, writer_done = false;
  within_deadline("re-entering the read lock", [&] {
    lock.lock_shared();
    std::thread writer([&] {
      writer_started = true;
      lock.lock();
      writer_done = true;
      lock.unlock();
    });
    while (!writer_started) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);  // let the writer block in lock()
    lock.lock_shared();
    lock.unlock_shared();
    EXPECT_FALSE(writer_done);
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(writer_done);
  });
}

// Parsing threads run a recursive grammar while another thread keeps
// replacing its body and leaf with fresh elements, whose predecessors `set`
// destroys: a reader that could still see a released element would be
// caught by the address sanitizer.
TEST(ForwardTest, SetRacesWithParsingThreads) {
  TestForward f, leaf;
  set_nested(f, leaf.handle());
  leaf->set(lit("x"));
  std::atomic<bool> done = false;
  std::atomic<int> wrong = 0;
  within_deadline("set racing with parses", [&] {
    std::thread writer([&] {
      for (int i = 0; !done; ++i) {
        leaf->set(lit(i % 2 ? "y" : "x"));
        set_nested(f, leaf.handle());
      }
    });
    std::vector<std::thread> parsers;
    for (const char* x : {"x", "y", "x", "y"})
      parsers.emplace_back([&, x] {
        const std::string want = "5: '(','(','" + std::string(x) + "',')',')'";
        for (int i = 0; i < 3000; ++i) {
          const ParseOutcome out = f->parse_from_start(nested(2, x));
          wrong += out.too_deep() || (out.ok() && show(out) != want);
          const MatchResult m = f->try_match_at(nested(2, x), 0);
          wrong += m.matched && m.end != 5;
        }
      });
    for (std::thread& t : parsers) t.join();
    done = true;
    writer.join();
  });
  EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Interrupts: the hook is asked once per period of container entries, and a
// run it stops gives up as one out of stack does.

// What the installed hook does: counts its calls, says stop on call
// `stop_at` (0: never), and runs `during` on each call that is not itself
// made from within `during`.
struct HookScript {
  int calls = 0;
  int stop_at = 0;
  std::function<void()> during;
  bool in_during = false;
};
HookScript* script = nullptr;

bool scripted_hook() noexcept {
  HookScript& s = *script;
  ++s.calls;
  if (s.during && !s.in_during) {
    s.in_during = true;
    s.during();
    s.in_during = false;
  }
  return s.calls == s.stop_at;
}

struct ScriptedHook {
  explicit ScriptedHook(HookScript& s) {
    script = &s;
    set_interrupt_hook(&scripted_hook);
  }
  ~ScriptedHook() {
    set_interrupt_hook(nullptr);
    script = nullptr;
  }
};

// 40 000 items, each through the Forward: about ten periods at shallow depth.
struct ManyItems {
  TestForward x;
  ElementHandle many;
  std::string text = std::string(40000, 'x');
  ManyItems() {
    x->set(lit("x"));
    many = mk<ZeroOrMoreElement>(x.handle());
  }
};

TEST(InterruptTest, StoppedRunGivesUpAndLeavesTheThreadClean) {
  ManyItems g;
  HookScript s;
  s.stop_at = 3;
  ScriptedHook hook(s);
  EXPECT_TRUE(g.many->parse_from_start(g.text).too_deep());
  EXPECT_EQ(s.calls, 3) << "entries after the stop must fail without asking";
  EXPECT_FALSE(take_too_deep());
  s.calls = 0;
  s.stop_at = 2;
  EXPECT_LT(g.many->try_match_at(g.text, 0).end, g.text.size());
  EXPECT_EQ(s.calls, 2);
  EXPECT_TRUE(take_too_deep());

  // Afterwards runs go to their end, the hook asked once per period of
  // entries and repetition rounds (two per item).
  s.calls = 0;
  s.stop_at = 0;
  const ParseOutcome out = g.many->parse_from_start(g.text);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.tokens().size(), g.text.size());
  EXPECT_GE(s.calls, 80000 / 4096);
  EXPECT_LE(s.calls, 80004 / 4096 + 1);
  EXPECT_FALSE(take_too_deep());
}

// The hook may run matches of its own on the thread, even through a Forward
// whose read lock the interrupted run holds, and even ones that give up
// for lack of stack: the interrupted run sees none of it.
TEST(InterruptTest, HookMayRunNestedMatches) {
  ManyItems g;
  TestForward loop;
  loop->set(seq({loop.handle(), lit("x")}));  // left recursion: always gives up
  int runs = 0, nested_right = 0;
  HookScript s;
  s.during = [&] {
    ++runs;
    nested_right += g.many->parse_from_start("xxx").end() == 3;
    nested_right += loop->parse_from_start("xx").too_deep();
    nested_right += !take_too_deep();
  };
  ScriptedHook hook(s);
  const ParseOutcome out = g.many->parse_from_start(g.text);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.tokens().size(), g.text.size());
  EXPECT_GE(runs, 40000 / 4096);
  EXPECT_EQ(nested_right, 3 * runs);
  EXPECT_FALSE(take_too_deep());

  s.calls = 0;
  s.stop_at = 4;
  s.during = nullptr;
  EXPECT_TRUE(g.many->parse_from_start(g.text).too_deep());
  EXPECT_FALSE(take_too_deep());
}

// A repetition of a leaf, and a SkipTo scan whose target is a leaf, enter
// no container per round, yet run as long as their text: their rounds count
// towards the period, so the hook stops them too.
TEST(InterruptTest, LoopsWithinOneEntryAskTheHook) {
  const std::string text = repeat("ab", 40000);
  const ElementHandle leaf = mk<CaselessLiteralElement>("ab");
  const std::vector<ElementHandle> loops = {mk<OneOrMoreElement>(leaf), mk<ZeroOrMoreElement>(leaf),
                                            mk<ExactlyElement>(leaf, 20000),
                                            mk<SkipToElement>(mk<CaselessLiteralElement>("c"))};
  HookScript s;
  s.stop_at = 2;
  ScriptedHook hook(s);
  for (std::size_t i = 0; i < loops.size(); ++i) {
    s.calls = 0;
    EXPECT_TRUE(loops[i]->parse_from_start(text).too_deep()) << i;
    EXPECT_EQ(s.calls, 2) << i;
    s.calls = 0;
    loops[i]->try_match_at(text, 0);
    EXPECT_EQ(s.calls, 2) << i;
    EXPECT_TRUE(take_too_deep()) << i;
  }
}

}  // namespace
}  // namespace quernlet
