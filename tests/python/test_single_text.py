"""parse_string, matches, search_string, search_string_count, transform_string."""

import os
import resource
import subprocess
import sys
import threading

import pytest

import quernlet as q

# Every match counts, empty ones included, at each byte where one starts; a match that consumes
# is stepped over. The start-byte tests compare each kind's own scan with the plain one.
# 'Ê' holds the byte 0x8A, a line feed with its high bit set.
COUNT_TEXTS = ["ab\nx é\n\nxaab", "", "é😀a\n", "Ê\nÊa\x0c\rÊ"]


@pytest.mark.parametrize("element, counts", [
    (q.Empty(), [13, 0, 8, 10]), (q.NoMatch(), [0, 0, 0, 0]), (q.StringStart(), [1, 0, 1, 1]),
    (q.StringEnd(), [0, 0, 0, 0]), (q.LineStart(), [4, 0, 1, 2]), (q.LineEnd(), [3, 0, 1, 1]),
    (q.rest_of_line(), [6, 0, 2, 3]), (q.Exactly(q.Literal("a"), 0), [13, 0, 8, 10]),
    (q.MatchFirst([]), [0, 0, 0, 0]), (q.Optional(q.Literal("a")), [13, 0, 8, 10]),
    (q.Group(q.Literal("aa")), [1, 0, 0, 0]), (q.Suppress(q.Literal("x ")), [1, 0, 0, 0]),
    (q.SkipTo(q.Literal("x")), [4, 0, 0, 0]),
    (q.MatchFirst([q.Literal("ab"), q.Literal("a")]), [3, 0, 1, 1]), (q.Forward(), [0, 0, 0, 0]),
])
def test_counts(element, counts):
    assert [element.search_string_count(t) for t in COUNT_TEXTS] == counts


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


A, AB, X = q.Literal("a"), q.Literal("ab"), q.Literal("x")


@pytest.mark.parametrize("element, yes, no", [
    (AB, ["  ab \t\n"], ["ab c", "abab", ""]),
    (q.Keyword("if"), ["if  "], ["ifx", "if x"]),
    (q.CaselessKeyword("if"), ["IF x"], [" if", "if_"]),
    (q.CaselessLiteral("ab"), ["ABC"], [" ab"]),
    (q.Char("a"), ["abc"], [" a", ""]), (q.Char("é"), ["é!"], ["ü"]),
    (q.Word("a"), [" aaa "], ["aab"]), (q.Regex("a+"), [" aa "], ["aab"]),
    (q.QuotedString('"'), [' "x y" '], ['"x" y']),
    (A + q.Literal("b"), [" a b "], ["a bc"]),
    (q.MatchFirst([A, AB]), [], ["ab"]), (q.MatchFirst([AB, A]), ["ab"], []),
    (q.MatchFirst([]), [], [""]),
    (q.Optional(X), ["   ", ""], ["y"]),
    (q.Exactly(A, 2), ["a a", " aa "], ["aaa"]), (q.Exactly(A, 0), [" "], ["a"]),
    (q.OneOrMore(A), ["  ab"], ["b"]), (q.ZeroOrMore(A), ["zzz"], []),
    (q.Group(A), [" a "], ["ab"]), (q.Suppress(A), [" a "], ["ab"]),
    (q.Combine(AB), ["abc"], [" ab"]),
    (q.SkipTo(X), ["abcx"], ["abc"]), (q.SkipTo(q.LineEnd()), ["abc"], []),
    (q.SkipTo(q.Empty()), [""], []), (q.Forward(), [], [""]),
    # the whole-text rule of Forward, whatever its inner element's rule
    (forward_to(q.CaselessLiteral("ab")), [" AB "], ["ABC"]),
    (q.LineStart(), ["  x"], []), (q.LineEnd(), ["", "\nx"], [" \n"]),
    (q.StringStart(), [" x"], []), (q.StringEnd(), [""], ["   "]), (q.Empty(), ["x"], []),
    (q.NoMatch(), [], [""]), (q.rest_of_line(), [""], []),
])
def test_matches(element, yes, no):
    assert [element.matches(t) for t in yes + no] == [True] * len(yes) + [False] * len(no)


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


def test_search_and_transform_per_element_class():
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

    def run():
        with pytest.raises(RecursionError):
            nested.parse_string(deep)
        for method in ("matches", "search_string_count"):
            try:
                getattr(nested, method)(deep)
            except RecursionError:
                pass
        assert nested.parse_string("(())") == [["(", ["(", ")"], ")"]]

    on_thread_with_stack(256 << 10, run)


def on_thread_with_stack(size, run):
    """Runs `run` on a new thread with a stack of `size` bytes; raises what it raised."""
    failure = []

    def body():
        try:
            run()
        except BaseException as e:
            failure.append(e)

    old = threading.stack_size(size)
    try:
        worker = threading.Thread(target=body)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    if failure:
        raise failure[0]


def deep_tree(growth, steps):
    """MatchFirst([x, wrap(x)]) at every step: the nesting grows by `growth` levels per
    step, while a match of "a" walks only the first alternatives and so answers as the
    leaf does."""
    x = q.Literal("a")
    wraps = [q.Group, q.Optional, lambda e: q.Exactly(e, 1)]
    for _ in range(steps):
        w = x
        for i in range(growth - 1):
            w = wraps[i % 3](w)
        x = q.MatchFirst([x, w])
    return x


def check_deep_trees(steps):
    """Every method on trees far deeper than the stack: the leaf's answer or
    RecursionError, never a crash; the tree is released on the same thread. The
    texts match at every start: a failing first alternative would make the walk
    exponential."""
    leaf = q.Literal("a")
    calls = [("parse_string", "a"), ("matches", "a"), ("search_string", "aa"),
             ("search_string_count", "aa"), ("transform_string", "aa", "X"),
             ("parse_batch", ["a", "a"]), ("parse_batch_count", ["a", "a"])]
    for growth in (2, 3, 4):
        tree = deep_tree(growth, steps)
        for name, *args in calls:
            try:
                got = getattr(tree, name)(*args)
            except RecursionError:
                continue
            assert got == getattr(leaf, name)(*args), (growth, name)
        del tree
    assert leaf.parse_string("a") == ["a"]


@pytest.mark.parametrize("stack_kib", [256, 64])
def test_deep_trees_on_small_thread_stacks(stack_kib):
    on_thread_with_stack(stack_kib << 10, lambda: check_deep_trees(20_000))


def run_with_stack_limit(limit, code):
    """Runs `code` in a child interpreter whose main thread has the stack limit `limit`
    (bytes or RLIM_INFINITY); returns its exit status and error output."""
    def limit_stack():
        hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
        resource.setrlimit(resource.RLIMIT_STACK, (limit, hard))
        if os.environ.get("QUERNLET_SANITIZED") != "1":
            # Should the guard fail, runaway recursion stops here, not at the machine's end.
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))

    here = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {here!r})\n{code}"],
                           preexec_fn=limit_stack, capture_output=True, text=True, timeout=300)
    return child.returncode, child.stderr[-2000:]


def test_deep_trees_on_a_small_main_stack():
    code = "from test_single_text import check_deep_trees\ncheck_deep_trees(40_000)"
    assert run_with_stack_limit(2 << 20, code) == (0, "")


@pytest.mark.skipif(resource.getrlimit(resource.RLIMIT_STACK)[1] != resource.RLIM_INFINITY,
                    reason="the stack limit cannot be lifted here")
def test_runaway_recursion_under_an_unlimited_stack():
    # The main thread's stack then reports an enormous size: the guard gives
    # it a finite budget instead of letting the recursion take all memory.
    code = """
from test_single_text import CALLS, check_deep_trees, left_recursive
for call in CALLS:
    try:
        call(left_recursive())
    except RecursionError:
        continue
    raise AssertionError("no RecursionError")
check_deep_trees(10_000)
"""
    assert run_with_stack_limit(resource.RLIM_INFINITY, code) == (0, "")
