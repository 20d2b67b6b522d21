"""Word and Regex batch methods: one flat list of tokens, identity reuse, all list shapes."""

import re
import sys

import pytest
from hypothesis import given, strategies as st

import quernlet as q


def fresh(text):
    """A new str object equal to `text` (never a cached or interned one)."""
    return (text + "\x00")[:-1]


def word_ref(init, body=None):
    """Word at position 0 on whole characters; members are code points below 256."""
    init = {c for c in init if ord(c) < 256}
    body = init if body is None else {c for c in body if ord(c) < 256}

    def ref(s):
        if not s or s[0] not in init:
            return None
        end = 1
        while end < len(s) and s[end] in body:
            end += 1
        return s[:end]
    return ref


def regex_ref(pattern):
    compiled = re.compile(pattern)

    def ref(s):
        m = compiled.match(s)
        return None if m is None else m.group()
    return ref


CASES = [
    (q.Word("abc"), word_ref("abc")),
    (q.Word("ab", "bé"), word_ref("ab", "bé")),
    (q.Word("éa"), word_ref("éa")),
    (q.Regex("a+"), regex_ref("a+")),
    (q.Regex("a*"), regex_ref("a*")),
    (q.Regex(r"\s+"), regex_ref(r"\s+")),
    (q.Regex("[abx]"), regex_ref("[abx]")),
    (q.Regex("é+b?"), regex_ref("é+b?")),
]
IDS = ["word", "word-body", "word-latin1", "re-plus", "re-star", "re-space", "re-class",
       "re-nonascii"]


def check(element, ref, items):
    """parse_batch is the flat list of the reference tokens, a whole-item token is the
    item itself, and the count equals the length of that list."""
    out = element.parse_batch(items)
    want = [(x, ref(x)) for x in items if ref(x) is not None]
    assert out == [t for _, t in want]
    for got, (x, t) in zip(out, want):
        if t == x:
            assert got is x
    assert element.parse_batch_count(items) == len(want)
    return out


TEXTS = st.text(alphabet="abcx é\u00ff\u0101", max_size=5)


@st.composite
def shaped_lists(draw):
    """Lists of a few objects laid out uniform, periodic (with a tail) or at random."""
    pool = [fresh(t) for t in draw(st.lists(TEXTS, min_size=1, max_size=40))]
    shape = draw(st.sampled_from(["uniform", "cyclic", "random"]))
    n = draw(st.integers(0, 300))
    if shape == "uniform":
        return pool[:1] * n
    if shape == "cyclic":
        period = draw(st.permutations(pool))
        return (period * (n // len(period) + 2))[:max(n, 2 * len(period))]
    return [draw(st.sampled_from(pool)) for _ in range(n)]


@pytest.mark.parametrize("element, ref", CASES, ids=IDS)
@given(items=shaped_lists())
def test_matches_reference_on_every_shape(element, ref, items):
    check(element, ref, items)


@pytest.mark.parametrize("element, ref", CASES, ids=IDS)
def test_many_distinct_objects(element, ref):
    # More distinct objects than any fixed table, met twice in reverse order.
    objs = [fresh(t) for t in ["ab", "ab!", "xy", "  ", " a", "éé", "éb", "aaa"] * 25]
    check(element, ref, objs + objs[::-1])
    # A period of 40 with a tail of 5.
    check(element, ref, objs[:40] * 2 + objs[:5])


def test_word_flat_shape_and_identity():
    w = q.Word("abc")
    a, ab = fresh("abc"), fresh("ab x")
    items = [a, ab, fresh("x"), fresh(""), fresh(" abc")]
    out = w.parse_batch(items)
    assert out == ["abc", "ab"] and out[0] is a
    assert w.parse_batch_count(items) == 2
    assert w.parse_batch([]) == [] and w.parse_batch_count([]) == 0


@pytest.mark.parametrize("element", [q.Word("abc"), q.Regex("[abc]+")], ids=["word", "regex"])
def test_repeated_objects_share_tokens(element):
    cab, space = fresh("cab"), fresh(" ")
    out = element.parse_batch([cab] * 1000)
    assert len(out) == 1000 and all(t is cab for t in out)
    assert element.parse_batch_count([cab] * 1000) == 1000
    assert element.parse_batch([space] * 1000) == [] and element.parse_batch_count([space] * 1000) == 0

    a, b = fresh("ab"), fresh("x")
    out = element.parse_batch([a, b, a, b, a])
    assert len(out) == 3 and all(t is a for t in out)
    # Not periodic: the fallback evaluates the partial match once and reuses its token.
    part, b = fresh("ab!"), fresh("x")
    out = element.parse_batch([part, part, b, part])
    assert out == ["ab"] * 3 and out[0] is out[1] is out[2]


def test_period_tokens_get_one_reference_per_slot():
    w = q.Word("abc")
    objs = [fresh(f"abc-{i}") for i in range(100)]
    out = w.parse_batch(objs * 3 + objs[:7])
    assert len(out) == 307 and out == ["abc"] * 307
    assert all(out[i] is out[i + 100] is out[i + 200] for i in range(100))
    assert all(out[300 + i] is out[i] for i in range(7))
    assert len({id(t) for t in out}) == 100
    # Slots only (plus the call's argument): 4 for the tail's tokens, else 3.
    counts = [sys.getrefcount(out[0]), sys.getrefcount(out[7])]
    assert counts == [1 + 4, 1 + 3]


def test_regex_tokens():
    aa = fresh("aa")
    out = q.Regex("a+").parse_batch([aa, fresh("b"), fresh("xa")])
    assert out == ["aa"] and out[0] is aa
    assert q.Regex("a").parse_batch([fresh("ab")]) == ["a"]
    # An empty match matches every item; the empty item is its own token.
    empty = fresh("")
    out = q.Regex("a*").parse_batch([fresh("b"), empty])
    assert out == ["", ""] and out[1] is empty
    # No whitespace skipped before the match.
    assert q.Regex("a").parse_batch_count([fresh(" a")]) == 0


def test_no_token_cuts_a_character():
    # A single byte of a two-byte character is no match at all.
    assert q.Regex(r"\C").parse_batch([fresh("é"), fresh("e")]) == ["e"]
    assert q.Regex(r"\C").parse_batch_count([fresh("é"), fresh("e")]) == 1
    # ASCII-only Word stops before a non-ASCII character; a Latin-1 one takes it whole.
    assert q.Word("a").parse_batch([fresh("aé")]) == ["a"]
    assert q.Word("aé").parse_batch([fresh("aéā")]) == ["aé"]
    assert q.Word("é").parse_batch_count([fresh("é"), fresh("\u00c3")]) == 1


@pytest.mark.parametrize("element", [q.Word("abc"), q.Regex("a")], ids=["word", "regex"])
@pytest.mark.parametrize("method", ["parse_batch", "parse_batch_count"])
@pytest.mark.parametrize("bad", [1, b"a", "\ud800"], ids=["int", "bytes", "surrogate"])
@pytest.mark.parametrize("layout", [
    lambda x, a: [x], lambda x, a: [a, a, x, a], lambda x, a: [a, x] * 3 + [a],
    lambda x, a: [a] * 40 + [x]], ids=["alone", "fallback", "cyclic", "last"])
def test_items_without_utf8_raise(element, method, bad, layout):
    a = fresh("a")
    with pytest.raises((TypeError, UnicodeEncodeError)):
        getattr(element, method)(layout(bad, a))


@pytest.mark.parametrize("cls, what", [(q.Word, "word"), (q.Regex, "regex")])
def test_docstrings(cls, what):
    assert cls.parse_batch.__doc__ == "Cyclic detection + hash-based cache fallback + bulk INCREF"
    assert cls.parse_batch_count.__doc__ == (
        f"Count {what} matches in batch \u2014 uniform + cycle + hash cache")
