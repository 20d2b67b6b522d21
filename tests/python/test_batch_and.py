"""And.parse_batch / parse_batch_count: item evaluation, shared texts and lists, paths agree."""

from hypothesis import given

import quernlet as q
from conftest import assert_refcounts, fresh, layouts, period_of

WS = " \t\r\n"

# Literal 'ab', an optional '-', a suppressed caseless 'éx' (its token is the
# input's own text; case is folded for ASCII letters only), the whole as one And.
SEQ = q.Literal("ab") + q.Optional(q.Literal("-")) + q.Suppress(q.CaselessLiteral("éx"))


def ref_tokens(item):
    """parse_batch's evaluation of one item: no whitespace skipped anywhere."""
    if not item.startswith("ab"):
        return []
    tokens, pos = ["ab"], 2
    if item.startswith("-", pos):
        tokens.append("-")
        pos += 1
    if item[pos:pos + 2] not in ("éx", "éX"):
        return []
    return tokens + [item[pos:pos + 2]]


def ref_match(item):
    """And's own test at 0: whitespace skipped before every child."""
    rest = item.lstrip(WS)
    if not rest.startswith("ab"):
        return False
    rest = rest[2:].lstrip(WS)
    rest = rest[1:] if rest.startswith("-") else rest
    return rest.lstrip(WS)[:2] in ("éx", "éX")


def check(seq, items, tokens, match):
    result = seq.parse_batch(items)
    assert_refcounts(result, result)
    assert_refcounts((t for r in result for t in r), *result)
    assert result == [tokens(x) for x in items]
    assert seq.parse_batch_count(items) == sum(map(match, items))
    seen = {}  # one str per distinct token text
    assert all(seen.setdefault(t, t) is t for r in result for t in r)
    return result


TEXTS = ["abéx", "ab-éX", "ab-éxyz", "ab éx", " abéx", "ab- éx", "ab-", "ab", "x", "", "abéX!",
         "a b", "ab\téx"]


@given(indexes=layouts(41))
def test_paths_match_the_reference(indexes):
    pool = [fresh(TEXTS[i % len(TEXTS)]) for i in range(40)] + [fresh("ab-éx")]
    items = [pool[i] for i in indexes]
    result = check(SEQ, items, ref_tokens, ref_match)
    if p := period_of(items):  # positions holding one object share its list
        assert all(result[k] is result[k % p] for k in range(len(items)))


def test_grouped_and_suppressed_children_and_many_distinct_texts():
    seq = q.Literal("a") + q.Suppress(q.Literal("b")) + q.Group(q.Literal("c"))
    assert seq.parse_batch([fresh("abc"), fresh("abx")]) == [["a", "b", "c"], []]
    assert seq.parse_batch([fresh("abc")] * 3) == [["a", "b", "c"]] * 3
    # Equal token texts from different items are one str, past any fixed table.
    seq = q.Regex("[a-z]+") + q.Regex("[0-9]+")
    words = ["".join(chr(97 + (i // 26 ** k) % 26) for k in range(3)) for i in range(300)]
    items = [fresh(f"{w}{i % 7}") for _ in "12" for i, w in enumerate(words)] + [fresh("no")]
    result = check(seq, items, lambda s: [s[:3], s[3:]] if s != "no" else [],
                   lambda s: s != "no")
    assert result[0] is not result[300] and result[0][0] is result[300][0]


def test_a_list_of_one_object_gives_each_token_a_new_str():
    seq = q.Literal("ab") + q.Literal("ab")
    x = fresh("abab")
    for items in ([x], [x, x], [x] * 5):
        result = seq.parse_batch(items)
        assert result == [["ab", "ab"]] * len(items)
        assert all(r is result[0] for r in result)
        assert result[0][0] is not result[0][1]
        assert_refcounts(result[0], result[0])
    # Two objects: one str per distinct text again.
    result = seq.parse_batch([x, fresh("abab")])
    assert result[0][0] is result[0][1] is result[1][0]
