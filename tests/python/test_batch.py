"""parse_batch and parse_batch_count: results, identity sharing, failures."""

import sys

import pytest
from hypothesis import given, strategies as st

import quernlet as q


def fresh(text):
    """A new str object equal to `text` (never a cached or interned one)."""
    s = (text + "\x00")[:-1]
    assert s == text
    return s


def distinct(n, prefix="o"):
    objs = [fresh(f"{prefix}{i:03d}") for i in range(n)]
    assert len({id(o) for o in objs}) == n
    return objs


# CaselessLiteral('aB') at position 0, as a reference for the generic paths.
ELEMENT = q.CaselessLiteral("aB")


def expected_tokens(item):
    return ["aB"] if item[:2].lower() == "ab" else []


def check(items):
    """Results equal the per-item reference; returns the parse_batch list."""
    result = ELEMENT.parse_batch(items)
    assert result == [expected_tokens(x) for x in items]
    assert ELEMENT.parse_batch_count(items) == sum(bool(expected_tokens(x)) for x in items)
    return result


def test_empty_and_single():
    assert ELEMENT.parse_batch([]) == []
    assert ELEMENT.parse_batch_count([]) == 0
    assert check([fresh("ab!")]) == [["aB"]]
    assert check([fresh("xab")]) == [[]]


def test_uniform_list_shares_one_result():
    a = fresh("AB")
    result = check([a] * 1000)
    assert all(r is result[0] for r in result)
    assert ELEMENT.parse_batch_count([fresh("zz")] * 1000) == 0


@pytest.mark.parametrize("pattern, same", [
    # a, b, a, b, a: period 2 with a tail of one
    ("abab" "a", [(0, 2), (0, 4), (1, 3)]),
    # period 2 dividing n
    ("abab", [(0, 2), (1, 3)]),
    # period 3 with a tail of two
    ("abcabcab", [(0, 3), (0, 6), (1, 4), (1, 7), (2, 5)]),
])
def test_cyclic_lists_share_results(pattern, same):
    objs = {c: fresh(f"ab{c}") if c != "b" else fresh("zz") for c in set(pattern)}
    items = [objs[c] for c in pattern]
    result = check(items)
    for i, j in same:
        assert result[i] is result[j]
    assert result[0] is not result[1]
    # each shared result holds exactly one reference per position
    for r in result:
        assert sys.getrefcount(r) == 2 + sum(x is r for x in result)


def test_fallback_reuses_only_the_previous_result():
    a, b = fresh("ab1"), fresh("ab2")
    result = check([a, a, b, a])  # p = 1 fails the full check
    assert result[0] is result[1]
    assert result[3] is not result[0]

    objs = distinct(40, "ab")
    items = objs + objs[::-1]  # item 0 recurs only at index 79
    result = check(items)
    assert result[39] is result[40]
    assert all(result[i] is not result[79 - i] for i in range(39))


def test_broken_cycle_and_late_recurrence_use_the_fallback():
    a, b, c, d = fresh("ab"), fresh("zz"), fresh("AB!"), fresh("yy")
    check([a, b, a, b, c, d, a, b])
    check([a, b, a, b, b])  # only the last item breaks the cycle
    late = [a] + distinct(127, "zz") + [a, a]  # first repeat of item 0 at 128
    check(late)


def test_equal_strings_are_separate_objects():
    items = [fresh("ab"), fresh("ab"), fresh("ab")]
    result = check(items)
    assert result[0] is not result[1] is not result[2]


@given(st.lists(st.integers(0, 40), max_size=300),
       st.sampled_from(["random", "uniform", "cyclic", "broken"]), st.integers(1, 130))
def test_counts_and_results_match_the_reference(indexes, shape, period):
    pool = [fresh(t) for t in ("ab", "AB", "xab", "", " ab", "abc", "a", "zz")] * 6
    pool = [fresh(p) for p in pool][:41]
    if shape == "uniform":
        indexes = indexes[:1] * len(indexes)
    elif shape in ("cyclic", "broken") and indexes:
        indexes = [indexes[k % min(period, len(indexes))] for k in range(len(indexes) * 2)]
        if shape == "broken":  # one item off the cycle, anywhere
            indexes[period % len(indexes)] = 40
    check([pool[i] for i in indexes])


@pytest.mark.parametrize("items", [
    [5],
    [5, 5, 5],
    ["ab", 5, "ab", 5, "ab"],
    ["ab", "zz", "xy", 5],
    [fresh(f"s{i}") for i in range(40)] + [5],
])
@pytest.mark.parametrize("method", ["parse_batch", "parse_batch_count"])
def test_item_without_utf8_text_raises(items, method):
    with pytest.raises(TypeError):
        getattr(ELEMENT, method)(items)
    with pytest.raises(TypeError):
        getattr(q.Empty(), method)(items)
    with pytest.raises(UnicodeEncodeError):
        getattr(ELEMENT, method)([fresh("ab"), "\ud800"])


def test_list_subclass_is_read_through_its_storage():
    class Tricky(list):
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise AssertionError("not consulted")

        def __iter__(self):
            raise AssertionError("not consulted")

    items = Tricky([fresh("ab"), fresh("zz")])
    assert ELEMENT.parse_batch(items) == [["aB"], []]
    assert ELEMENT.parse_batch_count(items) == 1


def test_no_whitespace_is_skipped_before_the_element():
    items = [" ab", "ab cd"]
    assert q.CaselessLiteral("ab").parse_batch(items) == [[], ["ab"]]
    assert q.QuotedString('"').parse_batch_count(['  "x"', '"x" y']) == 1
    # a repetition skips whitespace before its first child
    assert q.OneOrMore(q.CaselessLiteral("ab")).parse_batch(items) == [["ab"], ["ab"]]
    assert q.OneOrMore(q.CaselessLiteral("ab")).parse_batch_count(items) == 2


@pytest.mark.parametrize("element, items, count, parsed", [
    (q.Group(q.Literal("a")), ["a", "b", "ab"], 2, [[["a"]], [], [["a"]]]),
    (q.Suppress(q.Literal("a")), ["a", "b"], 1, [[], []]),
    (q.LineEnd(), ["", "\n", "\r\n", "a\n"], 2, [["\n"], ["\n"], [], []]),
    (q.Char("ab"), ["ba", "", "c", "é"], 1, [["b"], [], [], []]),
    (q.Forward(), ["", "x"], 0, [[], []]),
])
def test_class_results(element, items, count, parsed):
    assert element.parse_batch_count(items) == count
    assert element.parse_batch(items) == parsed
