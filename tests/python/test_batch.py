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


# --- Classes with bodies of their own -------------------------------------

def keyword_ref(word):
    def test(item):
        return item.startswith(word) and (
            len(item) == len(word) or not (item[len(word)].isascii()
                                           and (item[len(word)].isalnum() or item[len(word)] == "_")))
    return test


# (element, pure-Python test of one item at position 0, tokens of a match)
OWN_BODIES = [
    (q.Literal("ab"), lambda s: s.startswith("ab"), ["ab"]),
    (q.Literal(""), lambda s: True, [""]),
    (q.Keyword("ab"), keyword_ref("ab"), ["ab"]),
    (q.Keyword(""), keyword_ref(""), [""]),
    (q.LineStart(), lambda s: True, None),
    (q.StringStart(), lambda s: True, None),
    (q.Empty(), lambda s: True, None),
    (q.Optional(q.Literal("zz")), lambda s: True, None),
    (q.NoMatch(), lambda s: False, None),
    (q.StringEnd(), lambda s: s == "", None),
    (q.LineEnd(), lambda s: s[:1] in ("", "\n"), None),
    (q.Char("aé"), lambda s: s[:1] in ("a", "é"), None),
    (q.Suppress(q.Literal("ab")), lambda s: s.startswith("ab"), None),
]
IDS = [type(e).__name__ + str(i) for i, (e, _, _) in enumerate(OWN_BODIES)]
TEXTS = ("ab", "abc", "ab_", "ab(", "abé", "", "\n", "\nab", " ab", "a", "é", "è", "zz", "x\n")


@given(st.lists(st.integers(0, 44), max_size=200),
       st.sampled_from(["random", "uniform", "cyclic", "broken", "mirror"]), st.integers(1, 130))
@pytest.mark.parametrize("element, ref, tokens", OWN_BODIES, ids=IDS)
def test_own_bodies_match_the_reference(element, ref, tokens, indexes, shape, period):
    pool = [fresh(TEXTS[i % len(TEXTS)]) for i in range(45)]
    if shape == "uniform":
        indexes = indexes[:1] * len(indexes)
    elif shape in ("cyclic", "broken") and indexes:
        indexes = [indexes[k % min(period, len(indexes))] for k in range(len(indexes) * 2)]
        if shape == "broken":
            indexes[period % len(indexes)] = 44
    elif shape == "mirror":  # more than 31 distinct objects, each recurring later
        indexes = list(range(40)) + list(range(39, -1, -1))
    items = [pool[i] for i in indexes]
    assert element.parse_batch_count(items) == sum(map(ref, items))
    if tokens is not None:
        assert element.parse_batch(items) == [tokens if ref(x) else [] for x in items]


@pytest.mark.parametrize("cls", [q.Literal, q.Keyword])
def test_literal_results_share_two_lists(cls):
    element = cls("ab")
    token = element.parse_string("ab")[0]
    a, b, c, d = fresh("ab"), fresh("ab ."), fresh("xab"), fresh("a")
    for items in ([a, b, c, d, a, c], [a, a, b, a], [a] * 1000, [c] * 3):
        result = element.parse_batch(items)
        for i in (0, len(result) - 1):  # the returned list holds the only references
            refs = sys.getrefcount(result[i])  # outside the assert: pytest keeps temporaries
            assert refs == 1 + sum(x is result[i] for x in result)
        hit = [x is a or x is b for x in items]
        hits = [r for r, h in zip(result, hit) if h]
        misses = [r for r, h in zip(result, hit) if not h]
        for group in (hits, misses):
            assert all(r is group[0] for r in group)
        assert all(r == [] for r in misses)
        assert all(len(r) == 1 and r[0] is token for r in hits)
    first, second = element.parse_batch([a, c]), element.parse_batch([a, c])
    assert first[0] is not second[0] and first[0][0] is second[0][0]


@pytest.mark.parametrize("element, items, count", [
    (q.Literal("abc"), ["abc", "abcdef", "xabc", "ab", " abc"], 2),
    (q.Keyword("if"), ["if", "if(x)", "iffy", "if_", "", " if", "if1"], 2),
    (q.Keyword("é"), ["é", "éa", "é!", "èa"], 2),
    (q.Keyword(""), ["", " x", "x", "_", "é"], 3),
    (q.Literal(""), ["", "x"], 2),
    (q.StringEnd(), ["", " ", "a"], 1),
    (q.LineEnd(), ["", "\n", "\r\n", "a\n"], 2),
    (q.Char("ab"), ["ba", "", "ca"], 1),
    (q.Char("é"), ["é", "è", "e"], 1),  # é and è share their first byte
    (q.NoMatch(), ["", "a", "\nb"], 0),
    (q.LineStart(), ["", "a", "\nb"], 3),
])
def test_counts(element, items, count):
    assert element.parse_batch_count(items) == count
    assert element.parse_batch_count([fresh(x) for x in items]) == count


def test_suppress_shares_the_list_of_matching_items():
    element = q.Suppress(q.Literal("a"))
    assert element.parse_batch([]) == []
    hits = element.parse_batch(["a", "ab", "b", "c"])
    assert hits == [[], [], [], []]
    assert hits[0] is hits[1]
    assert hits[2] is not hits[3] and hits[2] is not hits[0]
    assert q.Suppress(q.Literal("a") + q.Literal("b")).parse_batch(["a b", " ab"]) == [[], []]


@pytest.mark.parametrize("items", [
    [5], [5, 5, 5], ["ab", 5], ["ab", "ab", 5], ["ab", 5, "ab", 5, "ab"],
    [fresh(f"s{i}") for i in range(40)] + [5], ["ab", "\ud800"],
])
@pytest.mark.parametrize("element", [e for e, _, _ in OWN_BODIES], ids=IDS)
def test_own_bodies_raise_for_items_without_text(element, items):
    error = UnicodeEncodeError if "\ud800" in items else TypeError
    for method in (element.parse_batch, element.parse_batch_count):
        with pytest.raises(error):
            method(items)


@pytest.mark.parametrize("element", [q.Literal("ab"), q.Keyword("ab"), q.Char("a"),
                                     q.Suppress(q.Literal("a")), q.StringEnd()])
def test_own_bodies_read_list_subclass_storage(element):
    class Tricky(list):
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise AssertionError("not consulted")

    items = Tricky(["ab", ""])
    assert element.parse_batch_count(items) == 1
    assert len(element.parse_batch(items)) == 2
    with pytest.raises(TypeError):
        element.parse_batch(("ab",))
