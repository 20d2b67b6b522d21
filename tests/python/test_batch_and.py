"""And.parse_batch / parse_batch_count: item evaluation, shared texts and lists, paths agree."""

import sys

import pytest
from hypothesis import given, strategies as st

import quernlet as q


def fresh(text):
    """A new str object equal to `text` (never a cached or interned one)."""
    return (text + "\x00")[:-1]


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
    pos = len(item) - len(item.lstrip(WS))
    if not item.startswith("ab", pos):
        return False
    pos += 2
    rest = item[pos:].lstrip(WS)
    if rest.startswith("-"):
        pos = len(item) - len(rest) + 1
    return item[pos:].lstrip(WS)[:2] in ("éx", "éX")


def check_refcounts(result):
    """Every list and token holds exactly the references the result gives it."""
    lists = {id(r): r for r in result}
    for r in lists.values():
        # the slots holding it, plus the dict, the loop variable and the argument
        assert sys.getrefcount(r) == sum(x is r for x in result) + 3
    tokens = {id(t): t for r in lists.values() for t in r}
    for t in tokens.values():
        if sys.getrefcount(t) > 1 << 28:  # immortal (one-character texts)
            continue
        assert sys.getrefcount(t) == sum(x is t for r in lists.values() for x in r) + 3


def check(items):
    result = SEQ.parse_batch(items)
    assert result == [ref_tokens(x) for x in items]
    assert SEQ.parse_batch_count(items) == sum(map(ref_match, items))
    check_refcounts(result)
    return result


POOL_TEXTS = ["abéx", "ab-éX", "ab-éxyz", "ab éx", " abéx", "ab- éx", "ab-", "ab", "x", "",
              "abéX!"]


@given(st.lists(st.integers(0, 39), max_size=200),
       st.sampled_from(["random", "uniform", "cyclic", "broken"]), st.integers(1, 130))
def test_paths_match_the_reference(indexes, shape, period):
    pool = [fresh(POOL_TEXTS[i % len(POOL_TEXTS)]) for i in range(40)] + ["ab-éx"]
    if shape == "uniform":
        indexes = indexes[:1] * len(indexes)
    elif shape in ("cyclic", "broken") and indexes:
        indexes = [indexes[k % min(period, len(indexes))] for k in range(len(indexes) * 2)]
        if shape == "broken":
            indexes[period % len(indexes)] = 40
    items = [pool[i] for i in indexes]
    result = check(items)
    # one str per distinct token text
    seen = {}
    for r in result:
        for t in r:
            assert seen.setdefault(t, t) is t
    # positions holding one object share its list when the list repeats
    if shape in ("uniform", "cyclic") and indexes:
        p = next((k for k in range(1, min(len(items), 128)) if items[k] is items[0]), 0)
        if p and len(items) >= 2 * p and all(
                items[k] is items[k - p] for k in range(p, len(items))):
            assert all(result[k] is result[k % p] for k in range(len(items)))


@pytest.mark.parametrize("items", [
    ["abéx"], [], ["ab éx"] * 7, ["abéx", "x"] * 3 + ["abéx"],
    ["x", "abéx", "abéx", " abéx"],
])
def test_small_lists(items):
    check([fresh(x) for x in items])


@pytest.mark.parametrize("items", [
    lambda a, b: [a],                      # one item
    lambda a, b: [a] * 5,                  # uniform
    lambda a, b: [a, b, a, b, a],          # period with a tail
    lambda a, b: [a, b, fresh("z"), b],    # cache fallback
])
def test_whitespace_between_children_fails_only_the_batch_parse(items):
    seq = q.Literal("a") + q.Literal("b")
    a, b = fresh("a b"), fresh(" ab")
    lst = items(a, b)
    assert seq.parse_batch(lst) == [[]] * len(lst)
    assert seq.parse_batch_count(lst) == sum(x is a or x is b for x in lst)
    assert seq.parse_string("a b") == ["a", "b"]


def test_suppressed_and_grouped_children_give_their_text():
    seq = q.Literal("a") + q.Suppress(q.Literal("b")) + q.Group(q.Literal("c"))
    assert seq.parse_batch([fresh("abc"), fresh("abx")]) == [["a", "b", "c"], []]
    assert seq.parse_batch([fresh("abc")] * 3) == [["a", "b", "c"]] * 3


def test_equal_texts_share_one_str():
    seq = q.Literal("xy") + q.Regex("[a-z]+")
    a, b, c = fresh("xyxyz"), fresh("xyxyz"), fresh("xyq")
    result = seq.parse_batch([a, b, c])
    assert result == [["xy", "xyz"], ["xy", "xyz"], ["xy", "q"]]
    assert result[0] is not result[1]
    assert result[0][0] is result[1][0] is result[2][0]
    assert result[0][1] is result[1][1]
    check_refcounts(result)


def test_many_distinct_texts():
    seq = q.Regex("[a-z]+") + q.Regex("[0-9]+")
    words = ["".join(chr(97 + (i // 26 ** k) % 26) for k in range(3)) for i in range(300)]
    items = [fresh(f"{w}{i}") for i, w in enumerate(words)] + [fresh("no")]
    result = seq.parse_batch(items)
    assert result == [[w, str(i)] for i, w in enumerate(words)] + [[]]
    assert seq.parse_batch_count(items) == 300
    check_refcounts(result)


@pytest.mark.parametrize("items", [
    [5], [5] * 3, ["ab", 5, "ab", 5, "ab"], ["ab", "x", 5],
    [fresh(f"s{i}") for i in range(40)] + [5],
])
@pytest.mark.parametrize("method", ["parse_batch", "parse_batch_count"])
def test_items_without_text_raise(items, method):
    with pytest.raises(TypeError):
        getattr(SEQ, method)(items)
    with pytest.raises(UnicodeEncodeError):
        getattr(SEQ, method)(["abéx", "\ud800"])


@pytest.mark.parametrize("method", ["parse_batch", "parse_batch_count"])
def test_runaway_recursion_is_reported(method):
    f = q.Forward()
    f <<= f + q.Literal("a")
    with pytest.raises(RecursionError):
        getattr(f + q.Literal("b"), method)(["ab", "x", "ab"])


def test_docstrings_and_argument_checks():
    assert q.And.parse_batch.__doc__ == (
        "Cyclic detection + hash-based cache fallback + indexed tokens")
    assert q.And.parse_batch_count.__doc__ == "Cyclic detection + hash-based pointer cache count"
    with pytest.raises(TypeError, match="inputs"):
        SEQ.parse_batch(("abéx",))
    assert SEQ.parse_batch_count(inputs=["abéx", "ab-éx"]) == 2
