"""Results cut from the caller's own str, whichever way its UTF-8 form is had.

A text reaches the bodies in one of four ways: ASCII (its storage is its
UTF-8), with the interpreter's UTF-8 copy already made ("warm"), short and
without one (the interpreter makes it), or long and without one (encoded into
a buffer of the call's own; Literal's bodies read the storage instead). Every
way must give the same results, equal to a reference over characters, and as
`str`s of the narrowest width (`==` alone does not tell an ASCII text from
the same characters stored as Latin-1).
"""

import ctypes
import random
import re
import sys

import pytest
from hypothesis import given, settings, strategies as st

import quernlet as q
from conftest import fresh

# One-, two-, three- and four-byte characters; with and without them the
# texts are held 1, 2 or 4 bytes wide.
ALPHABET = "ab ;\u00e9\u00ff\u0436\u20ac\u2019\U0001F600"
TEXTS = st.text(alphabet=ALPHABET, max_size=40)
LONG = 1 << 16  # characters from which a text is encoded per call

_utf8_of = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
_utf8_of.restype = ctypes.c_void_p
_utf8_of.argtypes = [ctypes.py_object, ctypes.c_void_p]


def word_pattern(init, body=None):
    """The word scan as a regular expression over characters."""
    body = init if body is None else body
    cls = lambda chars: "[" + "".join(re.escape(c) for c in chars if ord(c) < 256) + "]"
    head = cls(init) if init else "(?!)"
    return re.compile(head + (cls(body) + "*" if body else ""))


def regex_reference(pattern, text):
    """Match spans by the iteration rule: leftmost-first from the last end; an
    empty match at the previous match's end is skipped by one character."""
    rx = re.compile(pattern, re.ASCII)  # \b and \w are ASCII-only, as in the engine
    out, pos, last_end = [], 0, None
    while pos <= len(text):
        m = rx.search(text, pos)
        if not m:
            break
        if m.start() == m.end() == last_end:
            pos = m.end() + 1
            continue
        out.append(m.span())
        last_end = pos = m.end()
    return out


def on_every_way(text, check):
    """`check(make)` for every way of handing `text` (give or take a last
    character) to the bodies: `make()` returns the str to pass, a new object
    per call where the way is a text without a UTF-8 copy."""
    warm = fresh(text + "\u0436")  # non-ASCII, so that a UTF-8 copy exists apart
    _utf8_of(warm, None)
    long_text = text * (LONG // max(len(text), 1) + 1)
    for make in [lambda: fresh(text), lambda: warm, lambda: fresh(long_text)]:
        check(make)


def storage(s):
    """(bytes per character, ASCII flag) of a str, read from its header."""
    state = ctypes.c_uint32.from_address(id(s) + 4 * ctypes.sizeof(ctypes.c_void_p)).value
    return (state >> 2) & 7, (state >> 6) & 1


def same_str(got, want):
    assert got == want
    top = max(map(ord, got), default=0)
    assert storage(got) == (1 if top < 0x100 else 2 if top < 0x10000 else 4, int(top < 0x80))


@given(TEXTS, st.sampled_from(["", "a", ";", "\u00e9", "\u0436", "\u2019", "\U0001F600",
                               "a ", "\u0436\u20ac", "zz"]),
       st.sampled_from(["", "_", "e", "\u00ff", "\u20ac", "\U0001F600", "ab\u0436"]))
def test_literal_outputs_equal_str_methods(text, lit, rep):
    element = q.Literal(lit)

    def check(make):
        s = make()
        want = s.replace(lit, rep) if lit else s
        got = element.transform_string(s, rep)
        same_str(got, want)
        assert got is not s or not s
        count = s.count(lit) if lit else len(s.encode())
        assert element.search_string_count(make()) == count
        found = element.search_string(make())
        assert len(found) == count and all(item == [lit] for item in found)

    on_every_way(text, check)


@pytest.mark.parametrize("text, lit, rep, want", [
    ("a\u00e9", "\u00e9", "e", "ae"),                     # 1-byte wide, narrows to ASCII
    ("\u00e9\u20ac", "\u20ac", "e", "\u00e9e"),           # 2 bytes wide to 1
    ("x\U0001F600", "\U0001F600", "y", "xy"),             # 4 bytes wide to ASCII
    ("\U0001F600\u0436", "\U0001F600", "y", "y\u0436"),   # 4 to 2
    ("ab", "a", "\u20ac", "\u20acb"),                     # widened by the replacement
    ("abc", "z", "\U0001F600", "abc"),                    # not widened without a match
    ("\u0436\u0436", "\u0436\u0436", "", ""),             # everything replaced
])
@pytest.mark.parametrize("times", [1, LONG])
def test_output_width_follows_its_characters(text, lit, rep, want, times):
    text, want = text * times, want * times
    same_str(q.Literal(lit).transform_string(fresh(text), rep), want)
    # the span-based replace of the other classes follows the same rules
    same_str(q.Regex(re.escape(lit)).transform_string(fresh(text), rep), want)


# Word and Regex elements with the pattern that finds the same spans.
SPAN_ELEMENTS = [(q.Word(*sets), word_pattern(*sets).pattern) for sets in [
    ("ab", None), ("a", "b"), ("ab", ""), ("a\u00e9", None), ("\u00ff", "a\u00ff"),
    ("a", "\u00e9"), ("", None)]] + [(q.Regex(p), p) for p in [
    "\u0436+", "[a\u00e9]+", "\U0001F600|;", "a*", "\u20ac\u2019?", r"\bb", "(?:ab)+|a",
    r"[a-z_][a-z0-9_]*", r"\S+", r"[^ ;]+", ".+", r"\W+"]]


@settings(max_examples=300)
@given(TEXTS, st.sampled_from(SPAN_ELEMENTS), st.sampled_from(["", "-", "\u00ff", "\U0001F600"]))
def test_span_outputs_on_every_form(text, case, rep):
    element, pattern = case

    def check(make):
        s = make()
        spans = regex_reference(pattern, s)
        found = element.search_string(s)
        assert found == [[s[a:b]] for a, b in spans]
        assert element.search_string_count(make()) == len(spans)
        want, last = [], 0
        for a, b in spans:
            want += [s[last:a], rep]
            last = b
        same_str(element.transform_string(make(), rep), "".join(want) + s[last:])
        m = re.compile(pattern, re.ASCII).match(s, len(s) - len(s.lstrip(" ")))
        if m:
            assert element.parse_string(make()) == [m.group()]
        if isinstance(element, q.Word):  # one result object per distinct text
            words = [s[a:b] for a, b in spans]
            assert len({id(item) for item in found}) == len(set(words))
            flat = element._search_string_flat(make())
            assert flat == words and len({id(x) for x in flat}) == len(set(words))
            if len(s) < LONG:  # the generic scan over Word's own match test
                assert [item[0] for item in q.Group(element).search_string(s)] == found

    on_every_way(text, check)


@given(TEXTS)
def test_generic_and_sequence_outputs_on_every_form(text):
    members = "a\u00e9\u20ac\U0001F600"
    char = q.Char(members)
    seq = q.Literal("a") + q.Word("\u00e9") + q.Char("\u20ac\U0001F600")

    def check(make):
        s = make()
        same_str(char.transform_string(make(), "\u0436"),
                 "".join("\u0436" if c in members else c for c in s))
        m = re.match(" *(a) *(\u00e9+) *([\u20ac\U0001F600])", s)
        if m:
            assert seq.parse_string(make()) == list(m.groups())

    on_every_way(text, check)


@settings(max_examples=10)
@given(st.integers(0, 1 << 30), st.sampled_from([ALPHABET, "ab \u00e9\u00ff",
                                                          "a\u0436\u20ac", "a\U0001F600 "]))
def test_long_random_texts_encode_block_by_block(seed, alphabet):
    # Not periodic: every mix of widths falls in every position of a block.
    rng = random.Random(seed)
    text = "".join(rng.choice(alphabet) for _ in range(LONG + rng.randrange(16)))
    members = "a\u00ff\u0436\U0001F600"
    char = q.Char(members)
    same_str(char.transform_string(fresh(text), "-"),
             "".join("-" if c in members else c for c in text))
    assert q.Regex("[^a]+").search_string(fresh(text)) == [[x] for x in re.findall("[^a]+", text)]


@pytest.mark.parametrize("text", [
    "a\u0436 \ud800;", "\u0436" * 20 + "\ud800", "\udfff" + "\u00e9" * 20,
    "a" * 21 + "\udfff" + "b" * 5, "\U0001F600" * 9 + "\ud800" + "\u00e9" * 7])
@pytest.mark.parametrize("long", [False, True])
def test_a_text_without_utf8_form_fails_as_before(text, long):
    text = text * (LONG // len(text) + 1 if long else 1)
    calls = [lambda e, s: e.transform_string(s, "x"), lambda e, s: e.search_string(s),
             lambda e, s: e.search_string_count(s)]
    for element in [q.Literal("\u0436"), q.Literal(";"), q.Literal("zz"), q.Literal(""),
                    q.Literal("\U0001F600"), q.Word("a"), q.Regex("a"), q.Char("a")]:
        for call in calls:
            with pytest.raises(UnicodeEncodeError):
                call(element, fresh(text))
    with pytest.raises(UnicodeEncodeError):
        q.Literal("a").transform_string("a", "\udfff")


def test_long_texts_keep_no_utf8_copy_after_one_call():
    other = fresh("\u0436" * LONG)  # the last long text seen, whatever came before
    q.Word("a").search_string_count(other)
    text = fresh("\u0436a " * LONG)
    size = sys.getsizeof(text)
    q.Word("a").search_string_count(text)
    q.Literal("a").transform_string(text, "b")  # works on the storage
    assert sys.getsizeof(text) == size
    # met again in the next call, the text keeps the interpreter's copy
    q.Word("a").search_string_count(text)
    assert sys.getsizeof(text) > size


def test_str_subclasses_give_plain_str_results():
    class Text(str):
        pass

    s = Text("\u0436a \u00e9a\U0001F600")
    for result in [q.Literal("a").transform_string(s, "b"), q.Literal("\u00e9").transform_string(s, "xy"),
                   q.Regex("a").transform_string(s, "b"), q.Word("a").search_string(s)[0][0],
                   q.Regex("\u00e9a").parse_string(Text(s[3:]))[0]]:
        assert type(result) is str
    assert q.Literal("zz").transform_string(s, "b") == s
    assert q.Regex(".").search_string(s) == [[c] for c in s]


WORD_CHARS = "ab\u00e9\u00ff"
NESTED = (q.Group(q.Word(WORD_CHARS) + q.Group(q.Combine(q.Word(WORD_CHARS) + q.Literal(";"))))
          + q.SkipTo(q.Literal("!")) + q.Literal("!"))


def flat_strs(tokens):
    for t in tokens:
        yield from flat_strs(t) if isinstance(t, list) else [t]


@given(st.text(alphabet=WORD_CHARS, min_size=1, max_size=5),
       st.text(alphabet=WORD_CHARS, min_size=1, max_size=5),
       st.text(alphabet=ALPHABET.replace(" ", ""), min_size=1, max_size=3),
       st.text(alphabet=ALPHABET, max_size=20))
def test_nested_parse_tokens_on_every_form(first, second, head, rest):
    # Group nesting, a Combine and a SkipTo, all of whose texts are cut from
    # the argument, on texts of every width, with and without a UTF-8 copy.
    middle = head + rest
    text = f"{first} {second};{middle}!"
    want = [[first, [second + ";"]], middle, "!"]

    def check(make):
        s = make()
        copies = len(s) // len(text)
        for element, tokens in [(NESTED, want), (q.Group(NESTED), [want])]:
            got = element.parse_string(make())
            assert got == tokens
            for found, expected in zip(flat_strs(got), flat_strs(tokens)):
                same_str(found, expected)
        found = NESTED.search_string(make())
        assert found == [want] * copies
        for item in found:
            for x, expected in zip(flat_strs(item), flat_strs(want)):
                same_str(x, expected)

    on_every_way(text, check)


# Paths whose token can span the whole argument; each must be a new str.
LATIN1 = "ab\u00e9\u00ff"
WHOLE_TOKEN = [
    lambda s: q.Regex(".+").parse_string(s)[0],
    lambda s: q.Regex(".+").search_string(s)[0][0],
    lambda s: q.CaselessLiteral(s).search_string(s)[0][0],
    lambda s: q.rest_of_line().parse_string(s)[0],
    lambda s: q.rest_of_line().search_string(s)[0][0],
    lambda s: q.SkipTo(q.StringEnd()).parse_string(s)[0],
    lambda s: q.Group(q.Regex(".+")).parse_string(s)[0][0],
    lambda s: q.MatchFirst([q.Regex(".+")]).parse_string(s)[0],
    lambda s: (q.Regex(".+") + q.Empty()).parse_string(s)[0],
    lambda s: (q.Regex(".+") + q.Empty()).search_string(s)[0][0],
    lambda s: (q.rest_of_line() + q.Empty()).parse_string(s)[0],
]
WORD_TOKEN = [  # Word's members are characters below U+0100
    lambda s: q.Word(LATIN1).parse_string(s)[0],
    lambda s: q.Word(LATIN1).search_string(s)[0][0],
    lambda s: q.Word(LATIN1)._search_string_flat(s)[0],
]


@pytest.mark.parametrize("token_of, text", [
    *((f, t) for f in WHOLE_TOKEN for t in ["ab", "b\u00e9", "\u00e9b\u20ac", "a\U0001F600", "\u0436"]),
    *((f, t) for f in WORD_TOKEN for t in ["ab", "b\u00e9", "\u00ff"]),
])
def test_a_token_spanning_the_whole_text_is_a_new_str(token_of, text):
    warm = fresh(text)
    _utf8_of(warm, None)
    for s in [fresh(text), warm, fresh(text * (LONG // len(text) + 1))]:
        token = token_of(s)
        assert token == s and type(token) is str
        assert token is not s or len(s) == 1  # one character: the interpreter's shared str
