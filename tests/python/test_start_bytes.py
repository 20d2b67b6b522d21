"""Scans and batches that pass over positions by start bytes give what the plain, position-by-
position scans of the same element behind a Forward give."""

from hypothesis import given, strategies as st

import quernlet as q

PIECES = ["a", "b", "A", "i", "f", "if", "IF", " ", "  ", "\t", "\n", "_", "1", '"', "\\",
          "é", "É", "€", "😀", "ab", "for"]
TEXTS = st.lists(st.sampled_from(PIECES), max_size=25).map("".join)
SHORT = st.lists(st.sampled_from(PIECES), max_size=2).map("".join)

LEAVES = st.one_of(
    st.builds(q.Literal, SHORT), st.builds(q.Keyword, SHORT),
    st.builds(q.CaselessLiteral, SHORT), st.builds(q.CaselessKeyword, SHORT),
    st.builds(q.Char, SHORT), st.builds(lambda s: q.Word(s + "a", s), SHORT),
    st.builds(q.Word, st.sampled_from(["ab", "éa", "É_", "if"])),
    st.builds(q.Regex, st.sampled_from([r"\s+", "[ab_]", "[if]", "a*", r"\bif\b", "é+", "",
                                       r"[^a\n]+", r"i*[0-9 ]", r'"[^"\n]*"', r"(?i)if|é",
                                       r"a?\b", r"(?m)$"])),
    st.builds(q.QuotedString, st.sampled_from(['"', "é"]), st.sampled_from([None, "\\", '"']),
              st.booleans(), st.booleans()),
    st.sampled_from([q.Empty, q.NoMatch, q.LineStart, q.LineEnd, q.StringStart, q.StringEnd,
                     q.rest_of_line]).map(lambda kind: kind()),
)


def _forward(e):
    f = q.Forward()
    f <<= e
    return f


def _and(children):
    out = children[0]
    for c in children[1:]:
        out = out + c
    return out


GRAMMARS = st.recursive(LEAVES, lambda inner: st.one_of(
    st.lists(inner, min_size=2, max_size=4).map(_and),
    st.lists(inner, max_size=4).map(q.MatchFirst),
    st.builds(q.Exactly, inner, st.integers(0, 2)),
    *[inner.map(kind) for kind in (q.Optional, q.ZeroOrMore, q.OneOrMore, q.Group,
                                    q.Suppress, q.Combine, q.SkipTo, _forward)],
), max_leaves=6)

# Regex scans by its own rules (at character boundaries), so only its test is compared, inside
# other kinds.
NOT_REGEX = GRAMMARS.filter(lambda e: not isinstance(e, q.Regex))
# Kinds whose search_string items are the tokens of a parse, as a Forward's are.
PARSED_ITEMS = (q.And, q.MatchFirst, q.ZeroOrMore, q.OneOrMore, q.Forward)
# Kinds on the generic parse_batch (one token list per item, as a Forward's).
OWN_BATCH_SHAPE = (q.Word, q.Regex, q.And)


@given(NOT_REGEX, st.lists(TEXTS, max_size=4))
def test_scans_and_batches_equal_plain_ones(e, texts):
    plain = _forward(e)
    for text in texts:
        assert e.search_string_count(text) == plain.search_string_count(text)
        assert e.transform_string(text, "<>") == plain.transform_string(text, "<>")
        if isinstance(e, PARSED_ITEMS):
            assert e.search_string(text) == plain.search_string(text)
    assert e.parse_batch_count(texts) == plain.parse_batch_count(texts)
    if not isinstance(e, OWN_BATCH_SHAPE):
        assert e.parse_batch(texts) == plain.parse_batch(texts)


@given(st.lists(GRAMMARS, min_size=1, max_size=4), st.lists(TEXTS, max_size=6))
def test_sequence_batch_equals_an_unpruned_twin(children, texts):
    # A leading Forward to Empty adds no token and rules out no byte.
    anything = q.Forward()
    anything <<= q.Empty()
    seq, twin = _and([q.Empty()] + children), _and([anything] + children)
    assert seq.parse_batch(texts) == twin.parse_batch(texts)
    assert seq.parse_batch_count(texts) == twin.parse_batch_count(texts)


def test_sequence_batch_after_empty_matches():
    # The first child that consumes stands after two that can match empty.
    seq = q.Optional(q.Literal("x")) + q.Empty() + q.Literal(" ") + q.Char("ié")
    items = [" i", "x é", "i", "", " "]
    assert seq.parse_batch(items) == [[" ", "i"], ["x", " ", "é"], [], [], []]
    # Its own test skips whitespace before every child, so the space is never matched.
    assert seq.parse_batch_count(items + ["x  i"]) == 0
