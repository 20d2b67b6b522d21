"""SkipTo inside the scans: one search's kept answers are reused at later starts of the same
call, never at another text or batch item."""

import pytest

import quernlet as q


def recursive(open_, base):
    """F <<= open_ + SkipTo(F) | base: a SkipTo that searches for its own kind."""
    f = q.Forward()
    f <<= q.MatchFirst([q.Literal(open_) + q.SkipTo(f), q.Literal(base)])
    return f


X = q.Literal("x")
SHARED = q.SkipTo(X)


@pytest.mark.parametrize("element, text, items, replaced, count", [
    (q.SkipTo(X), "ab x é x😀", [["ab "], [" é "]], "#x#x😀", 4),
    (q.SkipTo(recursive("(", "x")), "a ( (b x é( x", [["a"], ["b "], [" é"], [" "]],
     "# ( (#x#(#x", 11),
    (q.SkipTo(q.Literal("b") + q.SkipTo(q.Keyword("xy"))), "xyz b" + "a" * 40 + " xyz b xy",
     [["xyz"], ["a" * 40 + " xyz"]], "# b# b xy", 6),
    # one SkipTo at two places of a match
    (SHARED + X + SHARED + X, "é" * 20 + "x ab x" + " " * 35 + "x",
     [["é" * 20, "x", "ab ", "x"]], "#" + " " * 35 + "x", 1),
    (q.MatchFirst([q.SkipTo(q.Literal("€")), SHARED]), "a" * 40 + "x€ b", [["a" * 40 + "x"]],
     "#€ b", 2),
])
def test_scans(element, text, items, replaced, count):
    assert element.search_string(text) == items
    assert element.transform_string(text, "#") == replaced
    assert element.search_string_count(text) == count


def test_batch_items_of_one_length_keep_apart():
    items = ["a" * 9 + "x", "a" * 10, "x" + "a" * 9, "a" * 10]
    assert q.SkipTo(X).parse_batch_count(items) == 2
    assert (q.SkipTo(X) + X).parse_batch_count(items) == 2
