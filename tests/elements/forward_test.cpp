#include "forward.hpp"

#include <alloca.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.hpp"
#include "literals.hpp"
#include "positional.hpp"
#include "structure.hpp"

namespace quernlet {
namespace {

using namespace std::chrono_literals;

ElementHandle lit(std::string_view s) { return Ref<LiteralElement>::make(s); }
ElementHandle seq(std::vector<ElementHandle> exprs) {
  return Ref<AndElement>::make(std::move(exprs));
}
ElementHandle first_of(std::vector<ElementHandle> exprs) {
  return Ref<MatchFirstElement>::make(std::move(exprs));
}

// A Forward owned by a test. A grammar that reaches its Forward from the
// inner element is a cycle of handles; unsetting on exit breaks it so that
// the leak checker sees only real leaks.
struct TestForward {
  Ref<ForwardElement> f = Ref<ForwardElement>::make();
  ~TestForward() { f->set(nullptr); }
  ElementHandle handle() const { return f; }
  const ForwardElement& operator*() const { return *f; }
  const ForwardElement* operator->() const { return f.get(); }
};

std::vector<std::string> texts(const ParseOutcome& out) {
  std::vector<std::string> v;
  for (const Token& t : out.tokens()) v.emplace_back(t.text().view());
  return v;
}

// Matches the empty text and calls `hook` each time it is tried.
class HookElement final : public Element {
  // Called on every parse or match test.
  std::function<void()> hook_;

 public:
  explicit HookElement(std::function<void()> hook) : hook_(std::move(hook)) {}
  ParseOutcome parse_impl(ParseContext&, Pos pos) const override {
    hook_();
    return ParseOutcome::success(pos);
  }
  MatchResult try_match_at(std::string_view, Pos pos) const override {
    hook_();
    return matched_at(pos);
  }
};

// Matches the empty text and records its own destruction.
class DestroyProbe final : public Element {
  // Set when the element is destroyed.
  bool& destroyed_;

 public:
  explicit DestroyProbe(bool& destroyed) : destroyed_(destroyed) {}
  ~DestroyProbe() override { destroyed_ = true; }
  ParseOutcome parse_impl(ParseContext&, Pos pos) const override {
    return ParseOutcome::success(pos);
  }
  MatchResult try_match_at(std::string_view, Pos pos) const override { return matched_at(pos); }
};

// Runs `body` and ends the process with a message when it has not finished
// after a generous deadline: a deadlocked thread cannot be recovered, and a
// hanging test would hide which one failed.
void within_deadline(const char* what, const std::function<void()>& body) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, 30s, [&] { return done; })) {
      std::fprintf(stderr, "FAILED: %s did not finish (deadlock)\n", what);
      std::_Exit(1);
    }
  });
  body();
  {
    std::lock_guard lock(m);
    done = true;
  }
  cv.notify_one();
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

// f <<= '(' + f + ')' | leaf
void set_nested(const TestForward& f, ElementHandle leaf) {
  f->set(first_of({seq({lit("("), f.handle(), lit(")")}), std::move(leaf)}));
}

std::string nested(std::size_t depth, std::string_view leaf = "x") {
  return std::string(depth, '(') + std::string(leaf) + std::string(depth, ')');
}

// ---------------------------------------------------------------------------

TEST(ForwardTest, UnsetFailsAtItsPosition) {
  TestForward f;
  ParseContext ctx{"abcd", true};
  ParseOutcome out = f->parse_impl(ctx, 3);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.message().view(), "Forward not initialized");
  EXPECT_EQ(out.position(), 3u);
  EXPECT_FALSE(out.too_deep());
  EXPECT_FALSE(f->try_match_at("abcd", 0).matched);

  out = f->parse_from_start("  x");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.position(), 2u);
  EXPECT_FALSE(out.too_deep());

  // Reached inside a sequence, after the whitespace skipped before it.
  out = seq({lit("a"), f.handle()})->parse_from_start("a  b");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.message().view(), "Forward not initialized");
  EXPECT_EQ(out.position(), 3u);
  // An alternative recovers.
  out = first_of({f.handle(), lit("a")})->parse_from_start("a");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(texts(out), std::vector<std::string>{"a"});
  EXPECT_FALSE(take_too_deep());
}

TEST(ForwardTest, SetReplacesTheInnerElementEverywhere) {
  TestForward f;
  const ElementHandle built_before = seq({f.handle(), lit("!")});
  f->set(lit("a"));
  EXPECT_EQ(texts(built_before->parse_from_start("a!")), (std::vector<std::string>{"a", "!"}));
  f->set(lit("b"));
  EXPECT_EQ(texts(built_before->parse_from_start("b!")), (std::vector<std::string>{"b", "!"}));
  EXPECT_FALSE(built_before->parse_from_start("a!").ok());
  EXPECT_FALSE(built_before->try_match_at("a!", 0).matched);
  EXPECT_TRUE(built_before->try_match_at("b !", 0).matched);
}

TEST(ForwardTest, ReleasesTheOldInnerElementOnSetAndOnDestruction) {
  bool first_destroyed = false, second_destroyed = false;
  {
    TestForward f;
    f->set(Ref<DestroyProbe>::make(first_destroyed));
    EXPECT_FALSE(first_destroyed);
    f->set(Ref<DestroyProbe>::make(second_destroyed));
    EXPECT_TRUE(first_destroyed);
    EXPECT_FALSE(second_destroyed);
  }
  EXPECT_TRUE(second_destroyed);
}

TEST(ForwardTest, WhitespaceIsSkippedBeforeAForwardToRestOfLine) {
  TestForward f;
  f->set(Ref<RestOfLineElement>::make());
  EXPECT_EQ(texts(seq({lit("a"), f.handle()})->parse_from_start("a  xyz\n")),
            (std::vector<std::string>{"a", "xyz"}));
  EXPECT_EQ(texts(seq({lit("a"), Ref<RestOfLineElement>::make()})->parse_from_start("a  xyz\n")),
            (std::vector<std::string>{"a", "  xyz"}));
}

TEST(ForwardTest, RecursiveGrammarParsesNestedInput) {
  TestForward f;
  set_nested(f, lit("x"));
  EXPECT_EQ(texts(f->parse_from_start("( (x) )")),
            (std::vector<std::string>{"(", "(", "x", ")", ")"}));
  EXPECT_EQ(f->try_match_at("((x))", 0).end, 5u);
  EXPECT_FALSE(f->parse_from_start("((x)").ok());
  EXPECT_FALSE(f->try_match_at("((x)", 0).matched);

  const std::string deep = nested(1000);
  ParseOutcome out = f->parse_from_start(deep);
  ASSERT_TRUE(out.ok());
  EXPECT_FALSE(out.too_deep());
  EXPECT_EQ(out.tokens().size(), 2001u);
  // The match test takes the read lock a thousand times and allocates nothing.
  const long before = testing_support::allocations_on_this_thread();
  const MatchResult m = f->try_match_at(deep, 0);
  EXPECT_EQ(testing_support::allocations_on_this_thread(), before);
  EXPECT_EQ(m.end, deep.size());
  EXPECT_FALSE(take_too_deep());
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
  const ParseOutcome out = e.parse_from_start(text);
  EXPECT_FALSE(out.ok());
  EXPECT_TRUE(out.too_deep());
  EXPECT_FALSE(take_too_deep()) << "the start rule must take the flag";
  const MatchResult m = e.try_match_at(text, 0);
  if (!recovers) {
    EXPECT_FALSE(m.matched);
  }
  EXPECT_TRUE(take_too_deep());
  EXPECT_FALSE(take_too_deep());
}

TEST_P(RunawayRecursionTest, GivesUpWithoutOverflowingTheStack) {
  run_with_stack(GetParam(), [] {
    {
      TestForward self;
      self->set(self.handle());
      expect_gives_up(*self, "abc");
    }
    {
      TestForward left;  // f <<= f + 'x'
      left->set(seq({left.handle(), lit("x")}));
      expect_gives_up(*left, "xxx");
    }
    {
      TestForward left;  // f <<= f + 'x' | 'x'
      left->set(first_of({seq({left.handle(), lit("x")}), lit("x")}));
      expect_gives_up(*left, "xxx", /*recovers=*/true);
    }
    TestForward f;
    set_nested(f, lit("x"));
    expect_gives_up(*f, nested(200000));
    // The thread is usable again afterwards.
    const ParseOutcome out = f->parse_from_start(nested(3));
    EXPECT_TRUE(out.ok());
    EXPECT_FALSE(out.too_deep());
    EXPECT_TRUE(f->try_match_at(nested(3), 0).matched);
    EXPECT_FALSE(take_too_deep());
  });
}

// Runs `body` below `bytes` of extra stack.
[[gnu::noinline]] void with_stack_offset(std::size_t bytes, const std::function<void()>& body) {
  auto* pad = static_cast<volatile char*>(alloca(bytes + 1));
  pad[bytes] = 0;
  body();
  pad[0] = pad[bytes];
}

// Thirty combinators between one entry of the Forward and the next. The
// margin left when the guard gives up must hold a whole level, wherever in
// the level the floor is crossed, so the run is repeated from start depths
// that move the crossing through every part of the level.
class SmallStackTest : public testing::TestWithParam<std::size_t> {};

TEST_P(SmallStackTest, MarginHoldsAWholeLevelOfCombinators) {
  TestForward f;
  ElementHandle level = first_of({seq({lit("("), f.handle(), lit(")")}), lit("x")});
  using Wrap = ElementHandle (*)(ElementHandle);
  const Wrap wraps[] = {
      [](ElementHandle e) -> ElementHandle { return Ref<GroupElement>::make(std::move(e)); },
      [](ElementHandle e) -> ElementHandle { return Ref<OptionalElement>::make(std::move(e)); },
      [](ElementHandle e) -> ElementHandle { return Ref<OneOrMoreElement>::make(std::move(e)); },
      [](ElementHandle e) { return seq({std::move(e)}); },
      [](ElementHandle e) -> ElementHandle { return Ref<CombineElement>::make(std::move(e)); },
  };
  for (int i = 0; i < 30; ++i) level = wraps[i % 5](std::move(level));
  f->set(std::move(level));
  const std::string text = nested(10000);
  run_with_stack(GetParam(), [&] {
    for (std::size_t offset = 0; offset < (24u << 10); offset += 256) {
      with_stack_offset(offset, [&] {
        const ParseOutcome out = f->parse_from_start(text);
        ASSERT_TRUE(out.too_deep()) << "from " << offset << " bytes down";
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
                                         std::size_t{64} << 10),
                         stack_name);
INSTANTIATE_TEST_SUITE_P(Stacks, SmallStackTest,
                         testing::Values(std::size_t{256} << 10, std::size_t{64} << 10),
                         stack_name);

// ---------------------------------------------------------------------------
// The lock.

// A reader that holds the lock and enters again while a writer waits must
// not queue behind that writer, which waits for the reader itself.
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
    EXPECT_FALSE(writer_done);
    lock.unlock_shared();
    EXPECT_FALSE(writer_done);
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(writer_done);
  });
}

// The same through a Forward: a recursive parse is inside the Forward when
// another thread calls `set`; the parse re-enters the Forward, finishes with
// the old grammar, and then the `set` goes through.
TEST(ForwardTest, RecursiveParseFinishesWhileSetWaits) {
  TestForward f;
  std::thread writer;
  std::atomic<bool> writer_started = false;
  const ElementHandle hook = Ref<HookElement>::make([&] {
    if (writer.joinable()) return;
    writer = std::thread([&] {
      writer_started = true;
      f->set(lit("z"));
    });
    while (!writer_started) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);  // let the writer block in set()
  });
  f->set(seq({hook, first_of({seq({lit("("), f.handle(), lit(")")}), lit("x")})}));
  within_deadline("parse while set waits", [&] {
    const ParseOutcome out = f->parse_from_start("((x))");
    EXPECT_EQ(texts(out), (std::vector<std::string>{"(", "(", "x", ")", ")"}));
    writer.join();
  });
  EXPECT_EQ(texts(f->parse_from_start("z")), std::vector<std::string>{"z"});
}

TEST(ReentrantSharedLockTest, WritersExcludeReadersAndEachOther) {
  ReentrantSharedLock lock;
  long a = 0, b = 0;  // written only under the write lock, always equal there
  std::atomic<int> readers_inside = 0, writers_inside = 0, violations = 0;
  constexpr int kWriters = 3, kReaders = 5, kRounds = 20000;
  within_deadline("lock under contention", [&] {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
      threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
          lock.lock();
          if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) ++violations;
          ++a;
          std::this_thread::yield();
          ++b;
          writers_inside.fetch_sub(1);
          lock.unlock();
        }
      });
    for (int r = 0; r < kReaders; ++r)
      threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
          lock.lock_shared();
          readers_inside.fetch_add(1);
          if (writers_inside.load() != 0 || a != b) ++violations;
          readers_inside.fetch_sub(1);
          lock.unlock_shared();
        }
      });
    for (std::thread& t : threads) t.join();
  });
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(a, long{kWriters} * kRounds);
  EXPECT_EQ(b, a);
}

// Parsing threads run a recursive grammar while another thread keeps
// replacing both the recursive body and the leaf with fresh elements, whose
// predecessors are destroyed by `set`: a reader that could still see a
// released element would be caught by the address sanitizer.
TEST(ForwardTest, SetRacesWithParsingThreads) {
  TestForward f, leaf;
  set_nested(f, leaf.handle());
  leaf->set(lit("x"));
  std::atomic<bool> done = false;
  std::atomic<int> wrong = 0;
  std::atomic<long> sets = 0;
  within_deadline("set racing with parses", [&] {
    std::thread writer([&] {
      for (int i = 0; !done; ++i) {
        leaf->set(lit(i % 2 ? "y" : "x"));
        set_nested(f, leaf.handle());
        ++sets;
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> parsers;
    for (int t = 0; t < 6; ++t)
      parsers.emplace_back([&, t] {
        const std::string input = nested(4, t % 2 ? "y" : "x");
        const std::vector<std::string> want = {"(", "(", "(", "(", t % 2 ? "y" : "x",
                                               ")", ")", ")", ")"};
        for (int i = 0; i < 3000; ++i) {
          const ParseOutcome out = f->parse_from_start(input);
          if (out.too_deep() || (out.ok() && texts(out) != want)) ++wrong;
          const MatchResult m = f->try_match_at(input, 0);
          if (m.matched && m.end != input.size()) ++wrong;
          std::this_thread::yield();
        }
      });
    for (std::thread& t : parsers) t.join();
    done = true;
    writer.join();
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(sets.load(), 0);
}

// A tree nested far deeper than any stack holds, with no Forward in it:
// matching gives up instead of overflowing, and releasing the tree does not
// recurse once per level either.
TEST(DeepTreeTest, GivesUpAndReleasesWithoutOverflow) {
  for (std::size_t stack : {std::size_t{0}, std::size_t{256} << 10}) {
    run_with_stack(stack, [] {
      ElementHandle tree = Ref<LiteralElement>::make("a");
      for (int i = 0; i < 300000; ++i) {
        tree = i % 2 ? ElementHandle(Ref<GroupElement>::make(std::move(tree)))
                     : ElementHandle(Ref<OptionalElement>::make(std::move(tree)));
      }
      EXPECT_TRUE(tree->parse_from_start("a").too_deep());
      // Frames that the compiler turns into tail calls may let the match
      // test finish; either way it must answer correctly or give up.
      const MatchResult m = tree->try_match_at("a", 0);
      if (!take_too_deep()) {
        EXPECT_TRUE(m.matched && m.end == 1);
      }
      EXPECT_FALSE(take_too_deep());
      tree = nullptr;
    });
  }
}

}  // namespace
}  // namespace quernlet
