// Long scans count their bytes towards the interrupt period: a hook that
// stops the run ends each of them with no match, long before its end.
#include <gtest/gtest.h>

#include <string>

#include "chars.hpp"
#include "literals.hpp"
#include "positional.hpp"
#include "regex_run.hpp"
#include "structure.hpp"
#include "word_scan.hpp"

namespace quernlet {
namespace {

// The hook's calls; it stops the run from the first.
int hook_calls = 0;
bool stop_run() noexcept {
  ++hook_calls;
  return true;
}

// Installs `stop_run` for one test; the thread's give-up is taken after.
class StoppingHook : public ::testing::Test {
 protected:
  void SetUp() override {
    take_too_deep();
    hook_calls = 0;
    set_interrupt_hook(&stop_run);
  }
  void TearDown() override {
    set_interrupt_hook(nullptr);
    take_too_deep();
  }
  // Whether the run gave up on the hook (and so the scan stopped early).
  static bool stopped() { return hook_calls > 0 && take_too_deep(); }

  // Far more than one period of bytes (4096 KiB).
  const std::string long_a = std::string(24u << 20, 'a');
};

TEST_F(StoppingHook, LeafScansGiveUp) {
  const WordElement word("a", nullptr);
  EXPECT_EQ(word.match_end(long_a, 0), 0u);
  EXPECT_TRUE(stopped());

  std::string error;
  const auto star = RegexElement::compile("a*", error);
  EXPECT_EQ(utf8_match_length(*star, long_a, 0), -1);
  EXPECT_TRUE(stopped());

  const QuotedStringElement quoted("\"", nullptr, false, false);
  EXPECT_FALSE(quoted.try_match_at("\"" + long_a + "\"", 0).matched);
  EXPECT_TRUE(stopped());

  const RestOfLineElement rest;
  EXPECT_FALSE(rest.try_match_at(long_a, 0).matched);
  EXPECT_TRUE(stopped());

  const SkipToElement skip(Ref<LiteralElement>::make("b"));
  EXPECT_FALSE(skip.try_match_at(long_a + "b", 0).matched);
  EXPECT_TRUE(stopped());
}

// Many short words or candidates count as one long run does.
TEST_F(StoppingHook, ScansOfShortPiecesStopShort) {
  std::string words;
  for (int i = 0; i < (6 << 20); ++i) words += i % 7 == 0 ? "a " : "a";
  words += "b";
  const WordElement word("a", nullptr);
  for (const FindKernel k : {FindKernel::kPortable, FindKernel::kAvx2}) {
    if (!find_kernel_supported(k)) continue;
    const WordScanner scanner(word, k);
    WordCursor cursor(scanner, words);
    MatchSpan batch[64];
    std::size_t spans = 0;
    for (std::size_t got; (got = cursor.next(batch, 64)) != 0;) spans += got;
    EXPECT_LT(spans, 1u << 20);
    EXPECT_TRUE(stopped());
  }
  MatchSpan m;
  EXPECT_FALSE(ClassRun::recognise("a+b")->find(words, 0, m));
  EXPECT_TRUE(stopped());
}

}  // namespace
}  // namespace quernlet
