#include "regex_run.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>

namespace quernlet {

namespace {

using Table = ClassRun::Table;

// A one-character atom: its ASCII members by byte, and whether it holds
// every non-ASCII character (else none).
struct Atom {
  std::array<bool, 128> ascii{};
  bool non_ascii = false;

  void add_range(unsigned lo, unsigned hi) noexcept {
    for (unsigned c = lo; c <= hi; ++c) ascii[c] = true;
  }
  void add(const Atom& other) noexcept {
    for (unsigned c = 0; c < 128; ++c) ascii[c] = ascii[c] || other.ascii[c];
    non_ascii = non_ascii || other.non_ascii;
  }
  void negate() noexcept {
    for (bool& m : ascii) m = !m;
    non_ascii = !non_ascii;
  }
  Table table() const noexcept {
    Table t{};
    for (unsigned b = 0; b < 256; ++b) t[b] = (b < 128 ? ascii[b] : non_ascii) ? 1 : 0;
    return t;
  }
};

// Reads the subset's pieces of a pattern; every `read_` returns nullopt on
// anything outside the subset.
class Reader {
 public:
  explicit Reader(std::string_view pattern) noexcept : s_(pattern) {}

  bool done() const noexcept { return i_ >= s_.size(); }

  // One atom and its repetition: 0 none, '*' or '+'.
  std::optional<std::pair<Atom, char>> read_piece() {
    std::optional<Atom> atom;
    const char c = s_[i_];
    if (c == '[') {
      ++i_;
      atom = read_class();
    } else if (c == '.') {
      ++i_;
      atom.emplace();
      atom->negate();
      atom->ascii['\n'] = false;
    } else if (c == '\\') {
      ++i_;
      atom = read_escape();
    } else if (plain(c) && !std::strchr(".+*?()|[]{}^$", c)) {
      ++i_;
      atom.emplace();
      atom->ascii[static_cast<unsigned char>(c)] = true;
    }
    if (!atom) return std::nullopt;
    char repeat = 0;
    if (!done() && (s_[i_] == '*' || s_[i_] == '+')) repeat = s_[i_++];
    // Lazy, possessive-looking, stacked or counted repetition: not ours.
    if (!done() && std::strchr("*+?{", s_[i_])) return std::nullopt;
    return std::pair{*atom, repeat};
  }

 private:
  // An ASCII byte that stands for itself (NUL and non-ASCII bytes are left
  // to RE2).
  static bool plain(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    return b != 0 && b < 0x80;
  }

  // After a backslash: a Perl class, a control escape or escaped
  // punctuation.
  std::optional<Atom> read_escape() {
    if (done()) return std::nullopt;
    const char e = s_[i_++];
    Atom a;
    switch (e) {
      case 'd':
      case 'D':
        a.add_range('0', '9');
        break;
      case 'w':
      case 'W':
        a.add_range('0', '9');
        a.add_range('A', 'Z');
        a.add_range('a', 'z');
        a.ascii['_'] = true;
        break;
      case 's':
      case 'S':
        for (const char c : {'\t', '\n', '\f', '\r', ' '})
          a.ascii[static_cast<unsigned char>(c)] = true;
        break;
      default: {
        const std::optional<unsigned char> c = escaped_char(e);
        if (!c) return std::nullopt;
        a.ascii[*c] = true;
        return a;
      }
    }
    if (e == 'D' || e == 'W' || e == 'S') a.negate();
    return a;
  }

  // The character of a one-character escape: \n \t \r \f \v, or a
  // backslash before ASCII punctuation.
  static std::optional<unsigned char> escaped_char(char e) noexcept {
    switch (e) {
      case 'n':
        return '\n';
      case 't':
        return '\t';
      case 'r':
        return '\r';
      case 'f':
        return '\f';
      case 'v':
        return '\v';
      default:
        break;
    }
    const auto b = static_cast<unsigned char>(e);
    if (b > 0x20 && b < 0x7F && !std::isalnum(b)) return b;
    return std::nullopt;
  }

  // A single character inside a class: plain or one-character escape.
  std::optional<unsigned char> read_class_char() {
    if (done()) return std::nullopt;
    const char c = s_[i_];
    if (c == '\\') {
      if (i_ + 1 >= s_.size()) return std::nullopt;
      const std::optional<unsigned char> e = escaped_char(s_[i_ + 1]);
      if (e) i_ += 2;
      return e;
    }
    if (!plain(c) || c == '[') return std::nullopt;
    ++i_;
    return static_cast<unsigned char>(c);
  }

  // After '[': members up to the closing ']'.
  std::optional<Atom> read_class() {
    Atom a;
    bool negated = false;
    if (!done() && s_[i_] == '^') {
      negated = true;
      ++i_;
    }
    bool first = true;
    while (!done() && (s_[i_] != ']' || first)) {
      // A '-' that neither opens the class nor closes it is left to RE2.
      if (s_[i_] == '-' && !first && (i_ + 1 >= s_.size() || s_[i_ + 1] != ']')) {
        return std::nullopt;
      }
      first = false;
      if (s_[i_] == '\\' && i_ + 1 < s_.size() && std::strchr("dDwWsS", s_[i_ + 1])) {
        ++i_;
        const std::optional<Atom> perl = read_escape();
        if (!perl) return std::nullopt;
        a.add(*perl);
        continue;
      }
      const std::optional<unsigned char> lo = read_class_char();
      if (!lo) return std::nullopt;
      unsigned hi = *lo;
      if (i_ + 1 < s_.size() && s_[i_] == '-' && s_[i_ + 1] != ']') {
        ++i_;
        const std::optional<unsigned char> h = read_class_char();
        if (!h || *h < *lo) return std::nullopt;
        hi = *h;
      }
      a.add_range(*lo, hi);
    }
    if (done()) return std::nullopt;
    ++i_;  // ']'
    if (negated) a.negate();
    return a;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

bool disjoint(const Table& a, const Table& b) noexcept {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] && b[i]) return false;
  return true;
}

// The members of an ASCII-only table as a string of characters.
std::string members(const Table& t) {
  std::string out;
  for (unsigned b = 1; b < 128; ++b)
    if (t[b]) out.push_back(static_cast<char>(b));
  return out;
}

}  // namespace

std::unique_ptr<const ClassRun> ClassRun::recognise(std::string_view pattern) {
  return recognise(pattern, false);
}

std::unique_ptr<const ClassRun> ClassRun::recognise_anchored(std::string_view pattern) {
  return recognise(pattern, true);
}

std::unique_ptr<const ClassRun> ClassRun::recognise(std::string_view pattern, bool anchored) {
  Reader reader(pattern);
  std::vector<Table> head, tail;
  std::optional<Atom> run;
  bool at_least_one = false;
  while (!reader.done()) {
    const auto piece = reader.read_piece();
    if (!piece) return nullptr;
    const auto& [atom, repeat] = *piece;
    if (repeat != 0) {
      if (run) return nullptr;  // one run only
      run = atom;
      at_least_one = repeat == '+';
      continue;
    }
    // Fixed atoms take one byte: no non-ASCII member.
    if (atom.non_ascii) return nullptr;
    (run ? tail : head).push_back(atom.table());
  }
  if (!run) return nullptr;
  const Table run_table = run->table();
  // A lone starred atom matches empty: only at a position is it a run.
  if (head.empty() && tail.empty() && !at_least_one && !anchored) return nullptr;
  if (!tail.empty() && !disjoint(tail.front(), run_table)) return nullptr;
  return std::make_unique<const ClassRun>(std::move(head), run_table, at_least_one,
                                          std::move(tail));
}

ClassRun::ClassRun(std::vector<Table> head, const Table& run, bool at_least_one,
                   std::vector<Table> tail)
    : head_(std::move(head)), run_(run), at_least_one_(at_least_one), tail_(std::move(tail)) {
  if (!head_.empty()) {
    first_ = head_.front();
  } else {
    first_ = run_;
    if (!at_least_one_ && !tail_.empty())
      for (std::size_t b = 0; b < 256; ++b) first_[b] |= tail_.front()[b];
  }
  int count = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    if (first_[b]) {
      ++count;
      first_byte_ = static_cast<int>(b);
    }
  }
  if (count != 1) first_byte_ = -1;

  // A Word is one start character then a greedy run; ASCII-only sets so
  // that its byte tables are exact.
  const bool word_shape =
      tail_.empty() && ((head_.size() == 1 && !at_least_one_) || (head_.empty() && at_least_one_));
  if (word_shape && !run_[0x80] && (head_.empty() || !head_.front()[0x80])) {
    const std::string init = members(head_.empty() ? run_ : head_.front());
    const std::string body = members(run_);
    const std::string_view body_view(body);
    word_ = Ref<WordElement>::make(init, &body_view);
    scanner_ = std::make_unique<WordScanner>(*word_);
  }
}

ClassRun::~ClassRun() = default;

bool ClassRun::find(std::string_view text, Pos from, MatchSpan& match) const noexcept {
  const std::size_t n = text.size();
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t k = head_.size();
  Pos p = from;
  // The bytes passed over count towards the interrupt period, the failed
  // candidates together, so that many short ones count as one long one
  // does. A run that gives up finds no more matches.
  PassedBytes passed(from);
  while (p < n) {
    if (first_byte_ >= 0) {
      // One pass of memchr, at its speed even over gigabytes.
      const void* hit = std::memchr(t + p, first_byte_, n - p);
      if (!hit) return false;
      p = static_cast<Pos>(static_cast<const unsigned char*>(hit) - t);
    } else {
      if (!scan_while(t, p, n, [this](unsigned char b) { return first_[b] == 0; }) || p >= n)
        return false;
    }
    // A candidate is a character boundary: when `first_` holds non-ASCII
    // bytes the scan only ever resumes on a boundary (below), and when it
    // does not, no continuation byte is a candidate.
    Pos q = p;
    bool head_ok = true;
    for (const Table& h : head_) {
      if (q >= n || !h[t[q]]) {
        head_ok = false;
        break;
      }
      ++q;
    }
    if (head_ok) {
      const Pos run_start = q;
      // One pass, counted after it: splitting it would cost every short run.
      while (q < n && run_[t[q]]) ++q;
      if (!(at_least_one_ && q == run_start)) {
        if (const Pos end = tail_end(text, q)) {
          match = {p, end};
          return !passed.count_to(end);
        }
      }
      // Every later start up to q - k reads a run that ends at q too (its
      // run begins inside this one) and fails the same way. The byte at q
      // is not in the run, so it is ASCII whenever the run holds non-ASCII
      // bytes.
      p = std::max(p + 1, q - k + 1);
    } else {
      ++p;  // the head's first atom matched an ASCII byte at p
    }
    if (passed.reach(p)) return false;
  }
  return false;
}

std::uint64_t ClassRun::count(std::string_view text) const noexcept {
  if (scanner_) return scanner_->count(text);
  std::uint64_t total = 0;
  for (MatchSpan m; find(text, m.end, m);) ++total;
  return total;
}

}  // namespace quernlet
