"""parse_batch and parse_batch_count of the classes without a flat or And body: results,
shared lists, exact references, failures."""

import pytest
from hypothesis import given

import quernlet as q
from conftest import assert_refcounts, fresh, layouts, period_of


def keyword(word):
    def ref(s):
        nxt = s[len(word):len(word) + 1]
        ok = s.startswith(word) and not (nxt.isascii() and (nxt.isalnum() or nxt == "_"))
        return [word] if ok else None
    return ref


# (element, tokens of one item at 0 or None for no match, how parse_batch shares lists):
#   "object": positions share a list exactly where the driver knows their items are one
#             object (uniform, periodic, or the previous item);
#   "two":    every match shares one list, every miss another;
#   "hits":   every match shares one empty list, every miss has its own.
CASES = [
    (q.CaselessLiteral("aB"), lambda s: ["aB"] if s[:2].lower() == "ab" else None, "object"),
    (q.Group(q.Literal("a")), lambda s: [["a"]] if s[:1] == "a" else None, "object"),
    (q.Optional(q.Literal("zz")), lambda s: ["zz"] if s[:2] == "zz" else [], "object"),
    (q.LineStart(), lambda s: [], "object"),
    (q.StringStart(), lambda s: [], "object"),
    (q.Empty(), lambda s: [], "object"),
    (q.NoMatch(), lambda s: None, "object"),
    (q.Forward(), lambda s: None, "object"),
    (q.StringEnd(), lambda s: [] if s == "" else None, "object"),
    (q.LineEnd(), lambda s: ["\n"] if s[:1] in ("", "\n") else None, "object"),
    (q.Char("aé"), lambda s: [s[0]] if s[:1] in ("a", "é") else None, "object"),
    (q.Literal("ab"), lambda s: ["ab"] if s.startswith("ab") else None, "two"),
    (q.Literal(""), lambda s: [""], "two"),
    (q.Keyword("ab"), keyword("ab"), "two"),
    (q.Keyword(""), keyword(""), "two"),
    (q.Suppress(q.Literal("ab")), lambda s: [] if s.startswith("ab") else None, "hits"),
]
IDS = [f"{type(e).__name__}{i}" for i, _ in enumerate(CASES) for e in [CASES[i][0]]]
TEXTS = ("ab", "AB", "aB!", "abc", "ab_", "ab(", "abé", "ab1", "", "\n", "\nab", " ab", "a",
         "é", "è", "éa", "zz", "x\n", "xab", "\r\n")


def sharing_keys(items):
    """The driver's rule for "object": positions with equal keys share one result."""
    if all(x is items[0] for x in items):
        return [0] * len(items)
    if p := period_of(items):
        return [k % p for k in range(len(items))]
    runs = [0]
    for i in range(1, len(items)):
        runs.append(runs[-1] + (items[i] is not items[i - 1]))
    return runs


@pytest.mark.parametrize("element, ref, sharing", CASES, ids=IDS)
@given(indexes=layouts(45))
def test_paths_match_the_reference(element, ref, sharing, indexes):
    pool = [fresh(TEXTS[i % len(TEXTS)]) for i in range(44)] + [fresh("ab")]
    items = [pool[i] for i in indexes]
    result = element.parse_batch(items)
    assert_refcounts(result, result)
    if sharing != "two":
        assert_refcounts((t for r in result for t in r), *result, pool)
    want = [ref(x) for x in items]
    assert result == [[] if w is None else w for w in want]
    assert element.parse_batch_count(items) == sum(w is not None for w in want)
    if sharing == "object":
        first = {}
        for r, key in zip(result, sharing_keys(items)):
            assert first.setdefault(key, r) is r
        assert len({id(r) for r in result}) == len(first)
    else:
        hits = [r for r, w in zip(result, want) if w is not None]
        misses = [r for r, w in zip(result, want) if w is None]
        assert all(r is hits[0] for r in hits)
        if sharing == "two":
            assert all(r is misses[0] for r in misses)
        else:
            assert len({id(r) for r in misses}) == len(misses)
            assert all(r is not hits[0] for r in misses[:1] if hits)


@pytest.mark.parametrize("cls", [q.Literal, q.Keyword])
def test_literal_match_list_holds_the_parse_string_token(cls):
    element = cls("ab")
    token = element.parse_string("ab")[0]
    for items in ([fresh("ab"), fresh("x")], [fresh("ab!")] * 5):
        assert element.parse_batch(items)[0][0] is token
    first, second = element.parse_batch([fresh("ab")]), element.parse_batch([fresh("ab")])
    assert first[0] is not second[0]  # M is made per call


@pytest.mark.parametrize("element, items, count", [
    (q.Keyword("é"), ["é", "éa", "é!", "èa"], 2),  # é and è share their first byte
    (q.QuotedString('"'), ['  "x"', '"x" y'], 1),  # no whitespace skipped before
    (q.OneOrMore(q.CaselessLiteral("ab")), [" ab", "ab cd"], 2),  # ... but by a repetition
])
def test_counts(element, items, count):
    assert element.parse_batch_count([fresh(x) for x in items]) == count


# One element per batch driver.
ALL = [q.CaselessLiteral("aB"), q.Empty(), q.StringEnd(), q.Char("a"), q.Literal("ab"),
       q.Keyword("ab"), q.Suppress(q.Literal("a")), q.LineStart(), q.Group(q.Literal("a")),
       q.Word("ab"), q.Regex("a"), q.Literal("a") + q.Optional(q.Literal("b"))]


@pytest.mark.parametrize("element", ALL, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("bad", [5, b"ab", "\ud800"], ids=["int", "bytes", "surrogate"])
def test_items_without_utf8_text_raise(element, bad):
    """The bad item alone, after a uniform run, breaking a cycle, and past the identity
    tables; every driver's phase meets it."""
    distinct = [fresh(f"s{i}") for i in range(40)]
    for items in ([bad], [bad] * 3, ["ab", bad], ["ab", "ab", bad, "ab"],
                  ["ab", bad] * 3 + ["ab"], ["ab", "x", bad], ["ab"] * 40 + [bad],
                  distinct + [bad]):
        for method in (element.parse_batch, element.parse_batch_count):
            with pytest.raises(UnicodeEncodeError if bad == "\ud800" else TypeError):
                method(items)


@pytest.mark.parametrize("element", ALL, ids=lambda e: type(e).__name__)
def test_list_subclass_is_read_through_its_storage(element):
    class Tricky(list):
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise AssertionError("not consulted")

        def __iter__(self):
            raise AssertionError("not consulted")

    plain = [fresh("ab"), fresh("")]
    items = Tricky(plain)
    assert element.parse_batch(items) == element.parse_batch(plain)
    assert element.parse_batch_count(items) == element.parse_batch_count(plain)
    with pytest.raises(TypeError):
        element.parse_batch(("ab",))
