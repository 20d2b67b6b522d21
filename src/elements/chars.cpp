#include "chars.hpp"

#include <re2/re2.h>

#include <string>

#include "regex_run.hpp"
#include "regex_scan.hpp"

namespace quernlet {

namespace {

// Byte length of the character led by byte `b`; a stray continuation byte
// counts as one.
inline unsigned char_len(unsigned char b) noexcept {
  return b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// The first character of `s` (empty for an empty `s`), never cut short of
// the end of `s`.
std::string_view first_char(std::string_view s) noexcept {
  if (s.empty()) return s;
  return s.substr(0, char_len(static_cast<unsigned char>(s[0])));
}

// Success at `end` whose token is the matched text.
ParseOutcome text_success(std::string_view text, Pos pos, Pos end) {
  return ParseOutcome::success(end, Token::slice(text.substr(pos, end - pos)));
}

}  // namespace

// ---------------------------------------------------------------------------
// CodePointSet

std::array<std::uint8_t, 256> CodePointSet::ascii_table() const noexcept {
  std::array<std::uint8_t, 256> table{};
  for (unsigned b = 0; b < 128; ++b) table[b] = has(b) ? 1 : 0;
  return table;
}

CodePointSet CodePointSet::of(std::string_view chars) noexcept {
  CodePointSet set;
  for (Pos p = 0; p < chars.size();) {
    unsigned len = 1;
    const std::uint32_t c = decode_utf8(chars, p, len);
    if (c < 256) set.add(c);
    p += len;
  }
  return set;
}

// ---------------------------------------------------------------------------
// Word

namespace {

std::string word_message(std::string_view init_chars) {
  std::size_t cut = init_chars.size();
  if (cut > 8) {
    // Back to the start of the character that byte 8 falls in, so the
    // message is whole characters.
    cut = 8;
    while (cut > 0 && !is_char_boundary(init_chars, cut)) --cut;
  }
  std::string message = "Expected W:(";
  message.append(init_chars.substr(0, cut));
  message.append("...)");
  return message;
}

}  // namespace

WordElement::WordElement(std::string_view init_chars, const std::string_view* body_chars)
    : message_(word_message(init_chars)),
      init_set_(CodePointSet::of(init_chars)),
      body_set_(body_chars ? CodePointSet::of(*body_chars) : init_set_),
      ascii_only_(init_set_.ascii_only() && body_set_.ascii_only()) {
  // Members of 128 and above are the two-byte forms led by C2 (0x80..0xBF)
  // or C3 (0xC0..0xFF).
  StartBytes starts;
  starts.add_all(StartBytes::of_words({init_set_.words[0], init_set_.words[1], 0, 0}));
  if (init_set_.words[2] != 0) starts.add(0xC2);
  if (init_set_.words[3] != 0) starts.add(0xC3);
  set_start_bytes(starts);
}

Pos WordElement::long_latin1_end(std::string_view text, Pos from, Pos end) const noexcept {
  const std::size_t n = text.size();
  unsigned len = 1;
  for (;;) {
    const Pos stop = stretch_end(end, n);
    while (end < stop && body_set_.has(latin1_at(text, end, len))) end += len;
    if (end < stop || end >= n) return run_scanned(end - from) ? 0 : end;
    if (run_scanned(end - from)) return 0;
    from = end;
  }
}

ParseOutcome WordElement::parse_impl(ParseContext& ctx, Pos pos) const {
  const Pos end = match_end(ctx.text, pos);
  if (end == 0) return ParseOutcome::failure(message_, pos);
  return text_success(ctx.text, pos, end);
}

MatchResult WordElement::try_match_at(std::string_view text, Pos pos) const {
  const Pos end = match_end(text, pos);
  return end == 0 ? kNoMatch : matched_at(end);
}

// ---------------------------------------------------------------------------
// Regex

namespace {

// The shortcut for `pattern`. Only patterns whose meaning is certain get
// one: \s+ exactly (\s* matches the empty text, which a run cannot), and a
// bracket class whose members are plain ASCII characters with none of the
// bytes that make ranges, negation, escapes, nested classes or an early
// close.
RegexElement::Mode shortcut_of(std::string_view pattern, CodePointSet& byte_set) noexcept {
  if (pattern == "\\s+") return RegexElement::kWhitespaceRun;
  if (pattern.size() < 3 || pattern.front() != '[' || pattern.back() != ']') {
    return RegexElement::kGeneral;
  }
  const std::string_view inner = pattern.substr(1, pattern.size() - 2);
  for (const char ch : inner) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x80 || b == '-' || b == '^' || b == ']' || b == '\\' || b == '[') {
      return RegexElement::kGeneral;
    }
  }
  for (const char ch : inner) byte_set.add(static_cast<unsigned char>(ch));
  return RegexElement::kOneByteOfClass;
}

// What a match in `mode` can start with. The shortcuts match one or more
// bytes of their set; a general pattern has the bytes RE2 bounds it to.
StartBytes start_bytes_of(RegexElement::Mode mode, const CodePointSet& byte_set, const re2::RE2& re,
                          const MatchBounds& bounds) {
  StartBytes starts;
  switch (mode) {
    case RegexElement::kWhitespaceRun:
      for (unsigned b = 0; b < 0x80; ++b)
        if (is_regex_space(static_cast<unsigned char>(b)))
          starts.add(static_cast<unsigned char>(b));
      return starts;
    case RegexElement::kOneByteOfClass:
      for (unsigned b = 0; b < 0x80; ++b)
        if (byte_set.has(b)) starts.add(static_cast<unsigned char>(b));
      return starts;
    case RegexElement::kGeneral:
      break;
  }
  return regex_start_bytes(re, bounds);
}

// What a class run can start with; it never matches empty.
StartBytes start_bytes_of(const ClassRun& run) noexcept {
  StartBytes starts;
  for (unsigned b = 0; b < 256; ++b)
    if (run.first()[b]) starts.add(static_cast<unsigned char>(b));
  return starts;
}

// Counts characters, for placing a caret under a column.
std::size_t char_count(std::string_view s) noexcept {
  std::size_t count = 0;
  for (const char ch : s) count += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return count;
}

// The text raised for a pattern that RE2 refused: the pattern, a caret line
// under the part RE2 names (the start when it names the whole pattern or
// nothing we can find), and RE2's own explanation.
std::string compile_error(const re2::RE2& re, const std::string& source,
                          const re2::RE2::Options& options) {
  if (re.error_code() == re2::RE2::ErrorPatternTooLarge) {
    return "Compiled regex exceeds size limit of " + std::to_string(options.max_mem()) + " bytes.";
  }
  const std::string& arg = re.error_arg();
  std::size_t at = std::string::npos;
  if (!arg.empty() && arg.size() < source.size()) at = source.find(arg);
  std::string caret;
  if (at == std::string::npos) {
    caret = "^";
  } else {
    caret.assign(char_count(std::string_view(source).substr(0, at)), ' ');
    caret.append(char_count(arg), '^');
  }
  return "regex parse error:\n    " + source + "\n    " + caret + "\nerror: " + re.error();
}

}  // namespace

RegexElement::RegexElement(Key) noexcept {}

RegexElement::~RegexElement() = default;

Ref<RegexElement> RegexElement::compile(std::string_view pattern, std::string& error) {
  const std::string source(pattern);
  re2::RE2::Options options;
  options.set_log_errors(false);
  auto re = std::make_unique<re2::RE2>(source, options);
  if (!re->ok()) {
    error = compile_error(*re, source, options);
    return nullptr;
  }
  auto element = Ref<RegexElement>::make(Key{});
  element->mode_ = shortcut_of(pattern, element->byte_set_);
  element->run_ = ClassRun::recognise(pattern);
  if (!element->run_) element->star_run_ = ClassRun::recognise_anchored(pattern);
  // A class run scans with its own byte tables and never asks for bounds.
  if (!element->run_) element->bounds_ = match_bounds(*re);
  element->re_ = std::move(re);
  element->message_ = SharedString("Expected match for /" + source + "/");
  element->set_start_bytes(element->run_ ? start_bytes_of(*element->run_)
                                         : start_bytes_of(element->mode_, element->byte_set_,
                                                          *element->re_, element->bounds_));
  return element;
}

std::int64_t RegexElement::match_length(std::string_view text, Pos pos) const {
  if (pos > text.size() || !is_char_boundary(text, pos)) return -1;
  // Most failed attempts end here, without the cost of entering RE2.
  if (!start_bytes().may_match_at(text, pos)) return -1;
  return searched_length(text, pos);
}

std::int64_t RegexElement::searched_length(std::string_view text, Pos pos) const {
  // The rest of the text is handed over as the whole text, so assertions at
  // its start behave as at the start of a text.
  const re2::StringPiece rest(text.data() + pos, text.size() - pos);
  re2::StringPiece match;
  // One call cannot be cut short, and may read far past its match: it
  // counts as a search, with the bytes it matched.
  if (!re_->Match(rest, 0, rest.size(), re2::RE2::ANCHOR_START, &match, 1)) {
    run_search(0);
    return -1;
  }
  const Pos end = pos + static_cast<Pos>(match.data() - rest.data()) + match.size();
  if (run_search(end - pos)) return -1;
  // \C and friends can stop inside a character; no token may cut one.
  if (!is_char_boundary(text, end)) return -1;
  return static_cast<std::int64_t>(end - pos);
}

ParseOutcome RegexElement::parse_impl(ParseContext& ctx, Pos pos) const {
  const std::int64_t len = match_length(ctx.text, pos);
  if (len < 0) return ParseOutcome::failure(message_, pos);
  return text_success(ctx.text, pos, pos + static_cast<Pos>(len));
}

MatchResult RegexElement::try_match_at(std::string_view text, Pos pos) const {
  const std::size_t n = text.size();
  switch (mode_) {
    case kWhitespaceRun: {
      if (pos >= n || !is_regex_space(static_cast<unsigned char>(text[pos]))) return kNoMatch;
      Pos end = pos + 1;
      return scan_while(text, end, is_regex_space) ? matched_at(end) : kNoMatch;
    }
    case kOneByteOfClass:
      if (pos >= n || !byte_set_.has(static_cast<unsigned char>(text[pos]))) return kNoMatch;
      return matched_at(pos + 1);
    case kGeneral:
      break;
  }
  const std::int64_t len = match_length(text, pos);
  return len < 0 ? kNoMatch : matched_at(pos + static_cast<Pos>(len));
}

// ---------------------------------------------------------------------------
// QuotedString

QuotedStringElement::QuotedStringElement(std::string_view quote_char,
                                         const std::string_view* esc_char, bool multiline,
                                         bool unquote)
    : message_("Expected quoted string starting with '" + std::string(quote_char) + "'"),
      quote_(quote_char.empty() ? std::string_view("\"") : first_char(quote_char)),
      esc_(esc_char ? first_char(*esc_char) : std::string_view()),
      multiline_(multiline),
      unquote_(unquote) {
  StartBytes starts;
  starts.add(static_cast<unsigned char>(quote_[0]));
  set_start_bytes(starts);
}

Pos QuotedStringElement::match_end(std::string_view text, Pos pos) const noexcept {
  const std::size_t n = text.size();
  const std::size_t q = quote_.size();
  // A quote at the very end of the text opens nothing.
  if (pos >= n || !quote_at(text, pos) || pos + q >= n) return 0;
  // The body goes in stretches, each counted towards the interrupt period.
  Pos i = pos + q;
  for (;;) {
    const Pos from = i;
    const Pos end = close_within(text, i, stretch_end(i, n));
    if (run_scanned(i - from)) return 0;
    if (end != kOpen) return end;
    if (i >= n) return 0;
  }
}

Pos QuotedStringElement::close_within(std::string_view text, Pos& i, Pos stop) const noexcept {
  const std::size_t n = text.size();
  const std::size_t q = quote_.size();
  const bool doubled_quote_escapes = esc_ == quote_;
  while (i < stop) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n' && !multiline_) return 0;
    if (doubled_quote_escapes) {
      if (quote_at(text, i)) {
        if (i + q < n && quote_at(text, i + q)) {
          i += 2 * q;
          continue;
        }
        return i + q;
      }
    } else if (esc_at(text, i)) {
      // The escape takes the whole character after it, whatever it is.
      i += esc_.size();
      if (i >= n) return 0;
      i += char_len(static_cast<unsigned char>(text[i]));
      continue;
    } else if (quote_at(text, i)) {
      return i + q;
    }
    // Stepping by bytes is safe: quote and escape begin with a byte that
    // never continues a character.
    ++i;
  }
  return kOpen;
}

ParseOutcome QuotedStringElement::parse_impl(ParseContext& ctx, Pos pos) const {
  const std::string_view text = ctx.text;
  const Pos end = match_end(text, pos);
  if (end == 0) return ParseOutcome::failure(message_, pos);
  if (!unquote_) return text_success(text, pos, end);
  const Pos body_start = pos + quote_.size();
  const Pos body_end = end - quote_.size();
  const std::string_view body = text.substr(body_start, body_end - body_start);
  if (esc_.empty() || body.find(esc_) == std::string_view::npos)
    return ParseOutcome::success(end, Token::slice(body));

  // The scan guarantees that every escape in the body has a whole character
  // after it inside the body.
  std::string unescaped;
  unescaped.reserve(body.size());
  for (Pos i = 0; i < body.size();) {
    if (esc_at(body, i) && i + esc_.size() < body.size()) {
      i += esc_.size();
      const unsigned len = char_len(static_cast<unsigned char>(body[i]));
      unescaped.append(body.substr(i, len));
      i += len;
    } else {
      unescaped.push_back(body[i]);
      ++i;
    }
  }
  return ParseOutcome::success(end, Token(SharedString(unescaped)));
}

MatchResult QuotedStringElement::try_match_at(std::string_view text, Pos pos) const {
  const Pos end = match_end(text, pos);
  return end == 0 ? kNoMatch : matched_at(end);
}

}  // namespace quernlet
