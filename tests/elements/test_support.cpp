#include "test_support.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quernlet::testing_support {

namespace {
thread_local long allocations = 0;

std::string render(std::span<const Token> tokens) {
  std::string out;
  for (const Token& t : tokens) {
    if (!out.empty()) out += ',';
    out += t.is_list() ? "[" + render(t.items()) + "]" : "'" + std::string(t.text()) + "'";
  }
  return out;
}
}  // namespace

long allocations_on_this_thread() noexcept { return allocations; }

ParseOutcome parse_at(const Element& e, std::string_view text, Pos pos, bool skip_ws) {
  ParseContext ctx{text, skip_ws};
  ParseOutcome out = e.parse_impl(ctx, pos);
  EXPECT_EQ(ctx.skip_ws, skip_ws) << "context flag changed";
  return out;
}

std::string show(const ParseOutcome& out) {
  if (!out.ok())
    return "@" + std::to_string(out.position()) + " " + std::string(out.message().view());
  const std::string tokens = render(out.tokens().span());
  return std::to_string(out.end()) + ":" + (tokens.empty() ? "" : " " + tokens);
}

std::string show(const MatchResult& m) { return m.matched ? std::to_string(m.end) : "none"; }

void expect_match(const Element& e, std::string_view text, Pos pos, std::string_view want,
                  bool allocates) {
  const long before = allocations_on_this_thread();
  const MatchResult m = e.try_match_at(text, pos);
  if (!allocates) {
    EXPECT_EQ(allocations_on_this_thread(), before) << "try_match_at allocated";
  }
  const ParseOutcome out = parse_at(e, text, pos);
  EXPECT_EQ(show(out), want) << "'" << text << "' at " << pos;
  EXPECT_EQ(show(m), out.ok() ? std::to_string(out.end()) : "none")
      << "'" << text << "' at " << pos;
  EXPECT_FALSE(out.too_deep());
}

bool valid_utf8(std::string_view s) {
  for (Pos i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const unsigned n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (unsigned k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

std::string random_text(std::mt19937& rng, std::size_t min_len,
                        const std::vector<std::string>& pieces) {
  std::string s;
  while (s.size() < min_len) s += pieces[rng() % pieces.size()];
  return s;
}

std::string random_bytes(std::mt19937& rng, std::size_t n, std::string_view alphabet) {
  std::string s(n, '\0');
  for (char& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

std::string repeat(std::string_view unit, std::size_t n) {
  std::string s;
  while (s.size() < n) s.append(unit);
  s.resize(n);
  return s;
}

Placed::Placed(std::string_view text, std::size_t align)
    : block_(std::make_unique<char[]>(align + text.size())) {
  std::memset(block_.get(), 'x', align);
  std::memcpy(block_.get() + align, text.data(), text.size());
  view_ = std::string_view(block_.get() + align, text.size());
}

}  // namespace quernlet::testing_support

// Replacements of the global allocation functions, counting per thread.
// They are kept out of line: inlined, GCC takes their malloc/free pairing
// for a mismatch with new/delete. The aligned and nothrow forms are left to
// the library; the engine does not use them.
[[gnu::noinline]] void* operator new(std::size_t n) {
  ++quernlet::testing_support::allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t n) { return operator new(n); }
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
