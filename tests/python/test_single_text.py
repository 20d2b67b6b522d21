"""parse_string, matches, search_string, search_string_count, transform_string."""

import re
import threading

import pytest
from hypothesis import given, strategies as st

import quernlet as q

# Texts mixing ASCII letters, the four whitespace bytes, form feed and
# characters of two, three and four UTF-8 bytes ('Ê' holds the byte 0x8A,
# a line feed with its high bit set).
MIXED = st.text(alphabet="abxAB_ \t\r\n\x0céÊ€😀", max_size=40)
ASCII = st.text(alphabet="abAB x\n", max_size=40)
WORDS = st.text(alphabet="abAB", min_size=1, max_size=4)


# ---------------------------------------------------------------------------
# A plain reimplementation of the counting scan over UTF-8 bytes. A test
# takes (data, pos) and returns the end of a match or None.

def count_scan(text, test):
    data = text.encode()
    n, p, count = len(data), 0, 0
    while p < n:
        end = test(data, p)
        if end is None:
            p += 1
        else:
            count += 1
            p = max(p + 1, end)
    return count


def literal_test(lit):
    lit = lit.encode()
    return lambda d, p: p + len(lit) if d.startswith(lit, p) else None


def skip_to_test(target):
    # from a character boundary p: the first place at or after p where the
    # (ASCII) target starts
    def test(d, p):
        k = d.find(target.encode(), p) if p == len(d) or d[p] & 0xC0 != 0x80 else -1
        return None if k < 0 else k
    return test


COUNTED = [
    # closed forms
    (q.Empty, lambda d, p: p),
    (q.NoMatch, lambda d, p: None),
    (q.StringStart, lambda d, p: p if p == 0 else None),
    (q.StringEnd, lambda d, p: p if p >= len(d) else None),
    (q.LineStart, lambda d, p: p if p == 0 or d[p - 1] == 10 else None),
    (q.LineEnd, lambda d, p: p + 1 if d[p] == 10 else None),
    (q.rest_of_line, lambda d, p: d.find(b"\n", p) if b"\n" in d[p:] else len(d)),
    (lambda: q.Exactly(q.Literal("a"), 0), lambda d, p: p),
    (lambda: q.MatchFirst([]), lambda d, p: None),
    # scans, some with a shortcut
    (lambda: q.Optional(q.Literal("a")), lambda d, p: p + 1 if d.startswith(b"a", p) else p),
    (lambda: q.Group(q.Literal("aa")), literal_test("aa")),
    (lambda: q.Suppress(q.Literal("x ")), literal_test("x ")),
    (lambda: q.SkipTo(q.Literal("x")), skip_to_test("x")),
    (lambda: q.MatchFirst([q.Literal("ab"), q.Literal("a")]),
     lambda d, p: literal_test("ab")(d, p) or literal_test("a")(d, p)),
    (q.Forward, lambda d, p: None),
]


@given(MIXED)
def test_counts_equal_the_plain_scan(text):
    for make, test in COUNTED:
        assert make().search_string_count(text) == count_scan(text, test), make


@given(MIXED, st.text(alphabet="aé€x", max_size=3))
def test_char_counts_whole_member_characters(text, members):
    expected = sum(c in members for c in text)
    assert q.Char(members).search_string_count(text) == expected
    # search_string finds the same characters, each whole
    found = q.Char(members).search_string(text)
    assert [item[0] for item in found] == [c for c in text if c in members]


@given(ASCII, WORDS)
def test_caseless_literal_agrees_with_re(text, word):
    pattern = re.compile(re.escape(word), re.I)
    assert q.CaselessLiteral(word).search_string_count(text) == len(pattern.findall(text))
    assert q.CaselessLiteral(word).search_string(text) == [[m] for m in pattern.findall(text)]
    assert q.CaselessLiteral(word).transform_string(text, "<$0>") == pattern.sub("<$0>", text)


@given(MIXED)
def test_scans_never_cut_characters(text):
    # Byte-level kinds meet offsets inside characters; results stay whole.
    for element in (q.Char("é€"), q.SkipTo(q.Literal("x")), q.Regex("."), q.Word("aé", "b€"),
                    q.Combine(q.OneOrMore(q.Char("é€a"))), q.rest_of_line()):
        for item in element.search_string(text):
            assert item and item[0] in text
        element.transform_string(text, "#")
        element.search_string_count(text)


# ---------------------------------------------------------------------------
# parse_string


@pytest.mark.parametrize("element, text, tokens", [
    # leading whitespace is skipped, text after the match ignored
    (q.Char("a"), "ab", ["a"]),
    (q.Char("a"), " \t\r\na", ["a"]),
    (q.Group(q.Literal("a") + q.Literal("b")), "a b c", [["a", "b"]]),
    (q.rest_of_line(), "  ab\ncd", ["  ab"]),
    (q.MatchFirst([q.Literal("a"), q.Group(q.Literal("b"))]), "  b", [["b"]]),
    (q.Suppress(q.Literal("x")), "  x", []),
    (q.Suppress(q.Empty()), "", []),
    # Optional tests its child after the leading whitespace
    *[(q.Optional(q.Literal("x")), text, tokens) for text, tokens in [
        ("x", ["x"]), (" x", ["x"]), ("\n x y", ["x"]), (" ", []), ("", []), ("y", [])]],
    (q.Optional(q.Group(q.Empty())), "abc", []),
])
def test_parse_string(element, text, tokens):
    assert element.parse_string(text) == tokens


@pytest.mark.parametrize("element, text, message", [
    (q.NoMatch(), "  x", "ParseException at position 2: NoMatch will never match"),
    # positions count bytes: 'é' is two
    (q.Group(q.Literal("é") + q.Literal("x")), "é y",
     "ParseException at position 3: Expected 'x'"),
    (q.StringStart(), "  x", "ParseException at position 2: Expected start of string"),
    (q.Forward(), "", "ParseException at position 0: Forward not initialized"),
    # form feed is not whitespace
    (q.Char("a"), "\x0ca", "ParseException at position 0: Expected one of 'a'"),
    # the specialised bodies give bare messages
    (q.MatchFirst([q.Literal("a"), q.Group(q.Literal("b"))]), "c", "No match found"),
    (q.MatchFirst([]), "a", "No match found"),
    (q.Suppress(q.Literal("x")), "y", "No match (suppressed)"),
])
def test_parse_failures(element, text, message):
    with pytest.raises(ValueError) as err:
        element.parse_string(text)
    assert str(err.value) == message


# ---------------------------------------------------------------------------
# matches: the whole-text rule (W) or the start rule (S) per class


def forward_to(element):
    f = q.Forward()
    f <<= element
    return f

@pytest.mark.parametrize("element, text, expected", [
    (q.Literal("ab"), "  ab \t\n", True), (q.Literal("ab"), "ab c", False),
    (q.Literal("ab"), "abab", False), (q.Literal("ab"), "", False),
    (q.Keyword("if"), "if  ", True), (q.Keyword("if"), "ifx", False),
    (q.Keyword("if"), "if x", False),
    (q.CaselessKeyword("if"), "IF x", True), (q.CaselessKeyword("if"), " if", False),
    (q.CaselessKeyword("if"), "if_", False),
    (q.CaselessLiteral("ab"), "ABC", True), (q.CaselessLiteral("ab"), " ab", False),
    (q.Char("a"), "abc", True), (q.Char("a"), " a", False), (q.Char("a"), "", False),
    (q.Char("é"), "é!", True), (q.Char("é"), "ü", False),
    (q.Word("a"), " aaa ", True), (q.Word("a"), "aab", False),
    (q.Regex("a+"), " aa ", True), (q.Regex("a+"), "aab", False),
    (q.QuotedString('"'), ' "x y" ', True), (q.QuotedString('"'), '"x" y', False),
    (q.Literal("a") + q.Literal("b"), " a b ", True), (q.Literal("a") + q.Literal("b"), "a bc", False),
    (q.MatchFirst([q.Literal("a"), q.Literal("ab")]), "ab", False),
    (q.MatchFirst([q.Literal("ab"), q.Literal("a")]), "ab", True),
    (q.MatchFirst([]), "", False),
    (q.Optional(q.Literal("x")), "   ", True), (q.Optional(q.Literal("x")), "", True),
    (q.Optional(q.Literal("x")), "y", False),
    (q.Exactly(q.Literal("a"), 2), "a a", True), (q.Exactly(q.Literal("a"), 2), " aa ", True),
    (q.Exactly(q.Literal("a"), 2), "aaa", False), (q.Exactly(q.Literal("a"), 0), " ", True),
    (q.Exactly(q.Literal("a"), 0), "a", False),
    (q.OneOrMore(q.Literal("a")), "  ab", True), (q.OneOrMore(q.Literal("a")), "b", False),
    (q.ZeroOrMore(q.Literal("a")), "zzz", True),
    (q.Group(q.Literal("a")), " a ", True), (q.Group(q.Literal("a")), "ab", False),
    (q.Suppress(q.Literal("a")), " a ", True), (q.Suppress(q.Literal("a")), "ab", False),
    (q.Combine(q.Literal("ab")), "abc", True), (q.Combine(q.Literal("ab")), " ab", False),
    (q.SkipTo(q.Literal("x")), "abcx", True), (q.SkipTo(q.Literal("x")), "abc", False),
    (q.SkipTo(q.LineEnd()), "abc", True), (q.SkipTo(q.Empty()), "", True),
    (q.Forward(), "", False),
    # the whole-text rule of Forward, whatever its inner element's rule
    (forward_to(q.CaselessLiteral("ab")), " AB ", True),
    (forward_to(q.CaselessLiteral("ab")), "ABC", False),
    (q.LineStart(), "  x", True), (q.LineEnd(), "", True), (q.LineEnd(), "\nx", True),
    (q.LineEnd(), " \n", False), (q.StringStart(), " x", True), (q.StringEnd(), "", True),
    (q.StringEnd(), "   ", False), (q.Empty(), "x", True), (q.NoMatch(), "", False),
    (q.rest_of_line(), "", True),
])
def test_matches(element, text, expected):
    assert element.matches(text) is expected


def test_matches_docstrings():
    assert q.Literal.matches.__doc__ == (
        "Zero-allocation match check \u2014 skips leading whitespace, requires full match")
    assert q.And.matches.__doc__ == (
        "Zero-allocation match check using try_match_at (no ParseResults)")
    assert q.Word.matches.__doc__ == "Zero-allocation match check via try_match_at"
    assert q.Keyword.matches.__doc__ is None
    assert q.Keyword.matches.__text_signature__ == "($self, s)"


# ---------------------------------------------------------------------------
# search_string and transform_string


@pytest.mark.parametrize("element", [q.Empty(), q.StringStart(), q.LineStart(), q.Literal("a")])
def test_empty_matches_are_never_listed_or_replaced(element):
    assert element.search_string("") == []
    assert element.transform_string("", "R") == ""
    if not isinstance(element, q.Literal):
        assert element.search_string("ab\ncd") == []
        assert element.transform_string("ab\ncd", "R") == "ab\ncd"


def test_search_string_shapes_per_element_class():
    assert q.CaselessLiteral("aa").search_string("aaaa") == [["aa"], ["aa"]]
    assert q.CaselessLiteral("aa").search_string("aaa") == [["aa"]]
    assert q.QuotedString('"', "\\").search_string('x "a\\"b" y') == [['"a\\"b"']]
    assert q.Suppress(q.Literal("x")).search_string("x x") == [[], []]
    assert q.Group(q.Literal("x") + q.Literal("y")).search_string("x y, xy") == [
        [["x", "y"]], [["x", "y"]]]
    assert q.OneOrMore(q.Literal("a")).search_string("a a b a") == [["a", "a"], ["a"]]
    # matched texts as written; one `str` per distinct text, a list per match
    items = q.CaselessLiteral("ab").search_string("ab AB ab")
    assert items == [["ab"], ["AB"], ["ab"]]
    assert items[0] is not items[2] and items[0][0] is items[2][0]


def test_transform_string():
    assert q.CaselessLiteral("aa").transform_string("aaa", "$1\\") == "$1\\a"
    assert q.Char("é").transform_string("aéüé", "X") == "aXüX"


# ---------------------------------------------------------------------------
# Runaway recursion is RecursionError, never a crash.


def left_recursive():
    f = q.Forward()
    f <<= f + q.Literal("x")
    return f


def self_set():
    f = q.Forward()
    f.set(f)
    return f


CALLS = [
    lambda e: e.parse_string("x x"),
    lambda e: e.matches("x"),
    lambda e: e.search_string("x x"),
    lambda e: e.search_string_count("x x"),
    lambda e: e.transform_string("x x", "y"),
    lambda e: e.parse_batch(["x", "y"]),
    lambda e: e.parse_batch_count(["x", "y"]),
]


@pytest.mark.parametrize("make", [left_recursive, self_set])
@pytest.mark.parametrize("call", CALLS)
def test_runaway_recursion_raises(make, call):
    element = make()
    for wrapped in (element, q.Group(element), q.MatchFirst([element, q.Literal("x")]),
                    q.Literal("x") + element):
        with pytest.raises(RecursionError, match="^maximum recursion depth exceeded while matching$"):
            call(wrapped)
    # the thread is usable afterwards
    assert q.Literal("x").parse_string("x") == ["x"]


def test_deep_input_on_a_small_stack_raises_recursion_error():
    nested = q.Forward()
    nested <<= q.Group(q.Literal("(") + q.Optional(nested) + q.Literal(")"))
    deep = "(" * 100_000 + ")" * 100_000
    outcome = {}

    def run():
        try:
            nested.parse_string(deep)
            outcome["result"] = "parsed"
        except RecursionError:
            outcome["result"] = "recursion"
        for method in ("matches", "search_string_count"):
            try:
                getattr(nested, method)(deep)
            except RecursionError:
                pass
        outcome["after"] = nested.parse_string("(())")

    old = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    assert outcome["result"] == "recursion"
    assert outcome["after"] == [["(", ["(", ")"], ")"]]


def test_grammar_nested_deeper_than_the_stack_without_forward():
    element = q.Literal("a")
    for i in range(300_000):
        element = q.Group(element) if i % 2 else q.Optional(element)
    with pytest.raises(RecursionError):
        element.parse_string("a")
    with pytest.raises(RecursionError):
        element.search_string("a a")
    del element  # releasing the chain must not recurse once per level
    assert q.Literal("x").parse_string("x") == ["x"]
