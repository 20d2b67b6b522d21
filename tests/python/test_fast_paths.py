"""The class-specialised single-text bodies of Literal, Keyword, Word, Regex and And.

These prove each body is wired with fixed cases; the comparisons with `str` and
`re` over every way a text is handed over are in test_text_outputs."""

import re

import pytest
from hypothesis import given, strategies as st

import quernlet as q
from conftest import fresh

MIXED = st.text(alphabet="abxif_ \t\n-5éÿ€😀", max_size=60)


@pytest.mark.parametrize("element, texts, message", [
    (q.Literal("ab"), ["x", ""], "Expected 'ab'"),
    (q.Keyword("if"), ["ifx", "   ", ""], "Expected keyword"),
    (q.Keyword(""), ["x"], "Expected keyword"),
    (q.Word("abc"), ["", "   ", " x"], "Expected word"),
    # a whitespace pattern cannot match after the skipped leading whitespace
    (q.Regex("a+"), ["  b"], "Expected regex match"),
    (q.Regex(r"\s+"), ["   x"], "Expected regex match"),
])
def test_bare_parse_failures(element, texts, message):
    for text in texts:
        with pytest.raises(ValueError) as e:
            element.parse_string(text)
        assert str(e.value) == message


@pytest.mark.parametrize("element", [q.Literal("ab"), q.Keyword("ab")])
def test_literal_and_keyword_hand_out_their_cached_str(element):
    first = element.parse_string("  ab(c")
    assert first == ["ab"]
    assert element.parse_string("ab")[0] is first[0]
    # search results repeat one inner list holding that `str` (a keyword is
    # not tested for what stands before it)
    found = element.search_string("ab+xab ab")
    assert found == [["ab"]] * 3
    assert all(item is found[0] for item in found) and found[0][0] is first[0]
    assert element.search_string("zz") == [] and element.search_string("") == []


def test_literal_results_and_empty_rules():
    assert q.Literal("aa").transform_string("aaaaa", "b") == "bba"
    assert q.Literal("b").transform_string("abcb", "$0\\") == "a$0\\c$0\\"  # taken literally
    text = "ab a-" * 5000 + "ab"  # long enough for the period shortcut
    assert q.Literal("a-a").search_string_count(text) == text.count("a-a")
    # the empty literal and keyword match zero bytes
    assert q.Literal("").search_string_count("héllo") == 6
    assert q.Literal("").search_string_count("") == 0
    assert q.Literal("").transform_string("abc", "-") == "abc"
    assert q.Literal("").parse_string("   ") == [""]
    assert q.Literal("").matches("  ") and not q.Literal("").matches("a")
    assert q.Keyword("").search_string_count("a b_") == 1  # before the space
    assert q.Keyword("").parse_string("") == [""]


@given(MIXED, st.sampled_from(["if", "i", "x_", "é", "-"]))
def test_keyword_count_equals_the_counting_scan(text, kw):
    occurrences = re.findall(re.escape(kw) + "(?![A-Za-z0-9_])", text)
    assert q.Keyword(kw).search_string_count(text) == len(occurrences)


def test_word_results():
    w = q.Word("abc")
    assert w.parse_string("  cab xyz") == ["cab"]
    assert q.Word("a", "b").parse_string("abbbx") == ["abbb"]
    assert [w.matches(t) for t in ["abc", "  abc  ", "abc d", "d", ""]] == [
        True, True, False, False, False]
    # one result object per distinct text
    found = q.Word("ab").search_string("ab ba ab")
    assert found == [["ab"], ["ba"], ["ab"]]
    assert found[0] is found[2] and found[0] is not found[1]
    flat = q.Word("ab")._search_string_flat("ab ab ab ")  # the periodic way
    assert flat == ["ab"] * 3 and flat[0] is flat[1] is flat[2]
    assert q.Word("ab")._search_string_flat("ab ab ab a") == ["ab", "ab", "ab", "a"]


def test_regex_results():
    r = q.Regex("a*")
    assert r.search_string_count("baaa") == 2
    assert r.search_string("baaa") == [[""], ["aaa"]]
    assert r.transform_string("baaa", "-") == "-b-"
    # each match its own list, one `str` per distinct text
    found = q.Regex("x").search_string("xx")
    assert found == [["x"], ["x"]]
    assert found[0] is not found[1] and found[0][0] is found[1][0]
    assert q.Regex(r"(b)").transform_string("abc", r"$0\1") == "a$0\\1c"  # taken literally
    assert q.Regex("a+").parse_string("  aab") == ["aa"]
    assert q.Regex("a*").parse_string("bbb") == [""]
    assert q.Regex(" ").search_string_count("  a ") == 3  # scans skip no whitespace


@pytest.mark.parametrize("pattern, text, expected", [
    (r"\s+", "   ", False), (r"\s+", "\x0c", True), (r"\s+", "", False),
    ("[ab]", " a ", True), ("[ab]", "ab", False), ("[ab]", "", False),
    ("a", "ab", False), ("a", "a \n", True), ("a|ab", "ab", False),
])
def test_regex_matches(pattern, text, expected):
    assert q.Regex(pattern).matches(text) is expected


def test_class_runs():
    r = q.Regex(r"[A-Za-z_][A-Za-z0-9_]*")
    assert r.search_string("a1 _b \u20acx9") == [["a1"], ["_b"], ["x9"]]
    assert r.transform_string("a1 _b \u20acx9", "<>") == "<> <> \u20ac<>"
    assert r.matches(" ab_1 ") and not r.matches("1ab") and not r.matches("ab;")
    items = ["ab", "1", " c9", "a1;", ""]
    assert r.parse_batch(items) == ["ab", "a1"] and r.parse_batch_count(items) == 2
    quoted = q.Regex(r'"[^"\n]*"')
    assert quoted.search_string('x "a b" "c\n"d"') == [['"a b"'], ['"d"']]
    assert quoted.parse_batch(['"q"x', "q", '""']) == ['"q"', '""']
    assert q.Regex(r"\S+").transform_string(" a\u20ac  b\n", "<>") == " <>  <>\n"


def test_batch_of_distinct_items_then_repeats():
    # Past a run of distinct items the map stops growing; the tokens stay
    # right and a repeated neighbour still shares its token.
    r = q.Regex("[a-z]+")
    distinct = [fresh(f"ab{i}") for i in range(200)]
    items = distinct + distinct[:50] + [distinct[7], distinct[7]]
    out = r.parse_batch(items)
    assert out == ["ab"] * len(items) and out[-1] is out[-2]
    assert r.parse_batch_count(items) == len(items)


def test_and_results_per_child_class():
    assert (q.Literal("a") + q.Group(q.Literal("b"))).parse_string("a b") == ["a", ["b"]]
    assert (q.CaselessLiteral("abc") + q.Literal("x")).parse_string("ABC x") == ["ABC", "x"]
    assert (q.Literal("a") + q.Suppress(q.Literal("b")) + q.Literal("c")).parse_string(
        "a b c") == ["a", "c"]
    assert (q.Literal("a") + q.Literal("b")).parse_string(" a b c") == ["a", "b"]
    assert (q.Literal("a") + q.Optional(q.Literal("z"))).parse_string("a") == ["a"]
    seq = q.Literal("a") + q.Word("b")
    assert seq.matches("  a bb \n") is True and seq.matches("a bb c") is False
    assert seq.search_string("a b xx a bbb") == [["a", "b"], ["a", "bbb"]]
    both_optional = q.Optional(q.Literal("z")) + q.Optional(q.Literal("y"))
    assert both_optional.search_string_count("abc") == 3
    assert both_optional.search_string("abc") == []


@pytest.mark.parametrize("second, text, message", [
    (q.Literal("b"), "a c", "Expected match"),
    (q.Suppress(q.Literal("b")), "a c", "Expected match"),
    (q.MatchFirst([q.Literal("b") + q.Literal("c")]), "a b d",
     "ParseException at position 4: Expected 'c'"),
    (q.MatchFirst([q.Literal("b")]), "a c", "ParseException at position 2: Expected 'b'"),
])
def test_and_parse_string_failures(second, text, message):
    with pytest.raises(ValueError) as e:
        (q.Literal("a") + second).parse_string(text)
    assert str(e.value) == message


@given(MIXED)
def test_and_scans_agree_with_the_generic_scan(text):
    seq = q.Word("ab") + q.Optional(q.Literal("-")) + q.Word("5é")
    assert seq.search_string_count(text) == q.Group(seq).search_string_count(text)
    assert seq.search_string(text) == [item[0] for item in q.Group(seq).search_string(text)]
