"""Word and Regex batch methods: one flat list of tokens, identity reuse, all list shapes."""

import re

import pytest
from hypothesis import given

import quernlet as q
from conftest import assert_refcounts, fresh, layouts, period_of


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
    return lambda s: (m := re.match(pattern, s)) and m.group()


CASES = [
    (q.Word("abc"), word_ref("abc")),
    (q.Word("ab", "bé"), word_ref("ab", "bé")),
    (q.Word("éa"), word_ref("éa")),
    (q.Regex("a+"), regex_ref("a+")),
    (q.Regex("a*"), regex_ref("a*")),
    (q.Regex(r"\s+"), regex_ref(r"\s+")),
    (q.Regex("é+b?"), regex_ref("é+b?")),
]
IDS = ["word", "word-body", "word-latin1", "re-plus", "re-star", "re-space", "re-nonascii"]
TEXTS = ["ab", "ab!", "cab", "xy", "  ", " a", "éé", "éb", "aaa", "", "aé\u00ff", "\u0101a", "b"]


@pytest.mark.parametrize("element, ref", CASES, ids=IDS)
@given(indexes=layouts(45))
def test_paths_match_the_reference(element, ref, indexes):
    """The flat list of reference tokens; one reference per slot; the count is the length of
    that list. A whole-item token is the item itself. In a periodic list each period position
    has one token object of its own; otherwise one item object always gives one token object,
    however far apart its positions (objects the list alone holds included)."""
    pool = [fresh(TEXTS[i % len(TEXTS)]) for i in range(44)] + [fresh("aab")]
    items = [pool[i] for i in indexes]
    del pool  # an object at one position is then held by the list alone
    out = element.parse_batch(items)
    assert_refcounts(out, out, items)
    want = [(x, t) for x in items if (t := ref(x)) is not None]
    assert out == [t for _, t in want]
    assert all(got is x for got, (x, t) in zip(out, want) if t == x)
    p = period_of(items) if len(items) > 1 else 0
    keys = [("pos", i % p) if p else ("obj", id(x)) for i, x in enumerate(items)
            if ref(x) is not None]
    by_key, by_token = {}, {}
    for got, (x, _), key in zip(out, want, keys):
        by_key.setdefault(key, set()).add(id(got))
        if got is not x and len(got) > 1:  # one-character strs are the interpreter's own
            by_token.setdefault(id(got), set()).add(key)
    assert all(len(ids) == 1 for ids in by_key.values())
    assert all(len(ks) == 1 for ks in by_token.values())
    assert element.parse_batch_count(items) == len(want)


@pytest.mark.parametrize("element", [q.Word("ab"), q.Regex("[ab]+")])
def test_token_identity_follows_the_object_or_the_period_position(element):
    # Without a period an object keeps its token however many others come between.
    objs = [fresh(f"ab{i}") for i in range(40)]
    out = element.parse_batch(objs + [objs[0], objs[39], objs[20]])
    assert out[40] is out[0] and out[41] is out[39] and out[42] is out[20]
    # With one, each position of the period has a token of its own.
    c, a = fresh("ab-"), fresh("ba!")
    out = element.parse_batch([c, a, a] * 2 + [c, a])
    assert out == ["ab", "ba", "ba"] * 2 + ["ab", "ba"]
    assert out[1] is not out[2] and out[1] is out[4] is out[7] and out[2] is out[5]


def test_period_tokens_get_one_reference_per_slot():
    objs = [fresh(f"abc-{i}") for i in range(100)]
    out = q.Word("abc").parse_batch(objs * 3 + objs[:7])
    assert out == ["abc"] * 307
    assert all(out[i] is out[i + 100] is out[i + 200] for i in range(100))
    assert all(out[300 + i] is out[i] for i in range(7))
    assert_refcounts(out, out)


@pytest.mark.parametrize("element, items, tokens", [
    (q.Regex(r"\C"), ["é", "e"], ["e"]),  # one byte of a character is no match
    (q.Word("a"), ["aé"], ["a"]),  # an ASCII-only Word stops before é
    (q.Word("aé"), ["aéā"], ["aé"]),  # a Latin-1 one takes it whole
    (q.Word("é"), ["é", "\u00c3"], ["é"]),
    (q.Regex("a"), [" a", "ab"], ["a"]),  # no whitespace skipped before the match
])
def test_no_token_cuts_a_character(element, items, tokens):
    assert element.parse_batch([fresh(x) for x in items]) == tokens
    assert element.parse_batch_count([fresh(x) for x in items]) == len(tokens)


FLAT = "Cyclic detection + hash-based cache fallback + bulk INCREF"


@pytest.mark.parametrize("method, doc", [
    (q.Word.parse_batch, FLAT),
    (q.Regex.parse_batch, FLAT),
    (q.Word.parse_batch_count, "Count word matches in batch \u2014 uniform + cycle + hash cache"),
    (q.Regex.parse_batch_count, "Count regex matches in batch \u2014 uniform + cycle + hash cache"),
    (q.And.parse_batch, "Cyclic detection + hash-based cache fallback + indexed tokens"),
    (q.And.parse_batch_count, "Cyclic detection + hash-based pointer cache count"),
    (q.Literal.parse_batch,
     "Full raw FFI batch parse \u2014 uniform detection + bulk INCREF, last-ptr fallback"),
    (q.Literal.parse_batch_count, "Full raw FFI count \u2014 uniform detection + last-ptr fallback"),
    (q.Keyword.parse_batch, "Specialized parse_batch \u2014 cached PyString + last-pointer cache"),
    (q.Keyword.parse_batch_count, None),
    (q.Empty.parse_batch, None),
])
def test_docstrings(method, doc):
    assert method.__doc__ == doc
