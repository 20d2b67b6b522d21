"""The class-specialised single-text bodies of Literal, Keyword, Word, Regex and And."""

import re

import pytest
from hypothesis import given, strategies as st

import quernlet as q
from conftest import fresh

MIXED = st.text(alphabet="abxif_ \t\n-5éÿ€😀", max_size=60)
UNITS = st.text(alphabet="ab -5é", min_size=1, max_size=9)


def keyword_count(text, kw):
    data, kw = text.encode(), kw.encode()
    ident = set(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
    p, count = 0, 0
    while p < len(data):
        end = p + len(kw)
        if data.startswith(kw, p) and (end == len(data) or data[end] not in ident):
            count += 1
            p = max(p + 1, end)
        else:
            p += 1
    return count


def word_pattern(init, body=None):
    """The word scan as a regular expression over characters."""
    body = init if body is None else body
    cls = lambda chars: "[" + "".join(re.escape(c) for c in chars if ord(c) < 256) + "]"
    head = cls(init) if init else "(?!)"
    return re.compile(head + (cls(body) + "*" if body else ""))


def regex_reference(pattern, text):
    """Match spans by the iteration rule: leftmost-first from the last end; an
    empty match at the previous match's end is skipped by one character."""
    rx = re.compile(pattern, re.ASCII)  # \b and \w are ASCII-only, as in the engine
    out, pos, last_end = [], 0, None
    while pos <= len(text):
        m = rx.search(text, pos)
        if not m:
            break
        if m.start() == m.end() == last_end:
            pos = m.end() + 1
            continue
        out.append(m.span())
        last_end = pos = m.end()
    return out


# ---------------------------------------------------------------------------
# Bare failure messages (no position) of the specialised parse_string bodies


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


# ---------------------------------------------------------------------------
# Literal and Keyword


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


def test_literal_transform_string():
    assert q.Literal("aa").transform_string("aaaaa", "b") == "bba"
    assert q.Literal("x").transform_string("abc", "$0") == "abc"
    assert q.Literal("b").transform_string("abcb", "$0\\") == "a$0\\c$0\\"
    assert q.Literal("").transform_string("abc", "-") == "abc"


def test_empty_literal_and_keyword_match_zero_bytes():
    assert q.Literal("").search_string_count("héllo") == 6
    assert q.Literal("").search_string_count("") == 0
    assert q.Literal("").parse_string("   ") == [""]
    assert q.Literal("").matches("  ") and not q.Literal("").matches("a")
    assert q.Keyword("").search_string_count("a b_") == 1  # before the space
    assert q.Keyword("").parse_string("") == [""]


@given(MIXED, st.text(alphabet="ab €é\n", min_size=1, max_size=3), MIXED)
def test_literal_agrees_with_str(text, lit, replacement):
    assert q.Literal(lit).transform_string(text, replacement) == text.replace(lit, replacement)
    assert q.Literal(lit).search_string(text) == [[lit]] * text.count(lit)
    assert q.Literal(lit).search_string_count(text) == text.count(lit)


@given(UNITS, st.integers(3000, 9000), st.text(alphabet="ab -", min_size=1, max_size=12))
def test_literal_count_on_long_periodic_texts(unit, times, lit):
    # Long enough for the period shortcut; the count must not change.
    text = unit * times + unit[: times % len(unit)]
    assert q.Literal(lit).search_string_count(text) == text.count(lit)


@given(MIXED, st.sampled_from(["if", "i", "x_", "é", "-"]))
def test_keyword_count_equals_the_counting_scan(text, kw):
    assert q.Keyword(kw).search_string_count(text) == keyword_count(text, kw)


# ---------------------------------------------------------------------------
# Word


def test_word_parse_string_and_matches():
    w = q.Word("abc")
    assert w.parse_string("  cab xyz") == ["cab"]
    assert q.Word("a", "b").parse_string("abbbx") == ["abbb"]
    assert q.Word("é").parse_string(" ééa") == ["éé"]
    assert [w.matches(t) for t in ["abc", "  abc  ", "abc d", "d", ""]] == [
        True, True, False, False, False]


def test_word_results_share_one_object_per_distinct_text():
    found = q.Word("ab").search_string("ab ba ab")
    assert found == [["ab"], ["ba"], ["ab"]]
    assert found[0] is found[2] and found[0] is not found[1]
    assert q.Word("a", "b").search_string("aab") == [["a"], ["ab"]]
    flat = q.Word("ab")._search_string_flat("ab ab ab ")  # the periodic way
    assert flat == ["ab"] * 3 and flat[0] is flat[1] is flat[2]
    assert q.Word("ab")._search_string_flat("ab ab ab a") == ["ab", "ab", "ab", "a"]


WORD_SETS = st.sampled_from([
    ("ab", None), ("a", "b"), ("ab", "a"), ("-5", "5"), ("ab", ""), ("aé", None),
    ("ÿ", "aÿ"), ("a", "é"), ("", None),
])


def assert_word_paths_agree(text, init, body):
    w = q.Word(init, body)
    rx = word_pattern(init, body)
    words = rx.findall(text)
    assert w.search_string_count(text) == len(words)
    found = w.search_string(text)
    assert found == [[x] for x in words]
    # one inner list per distinct text
    assert len({id(item) for item in found}) == len(set(words))
    flat = w._search_string_flat(text)
    assert flat == words
    assert len({id(x) for x in flat}) == len(set(words))
    assert w.transform_string(text, "<>") == rx.sub("<>", text)
    # the generic scan over Word's own match test finds the same words
    assert [item[0] for item in q.Group(w).search_string(text)] == found


@given(MIXED, WORD_SETS)
def test_word_paths_agree_with_a_reference_scan(text, sets):
    assert_word_paths_agree(text, *sets)


@given(UNITS, st.integers(2, 300), st.integers(0, 8), WORD_SETS)
def test_word_paths_on_periodic_texts(unit, times, cut, sets):
    assert_word_paths_agree(unit * times + unit[:cut], *sets)


def test_word_flat_with_more_distinct_words_than_the_period_table():
    unit = " ".join("a" * k for k in range(1, 41)) + " "
    text = unit * 5 + "aa"
    assert q.Word("a")._search_string_flat(text) == re.findall("a+", text)


# ---------------------------------------------------------------------------
# Regex


def test_regex_results():
    r = q.Regex("a*")
    assert r.search_string_count("baaa") == 2
    assert r.search_string("baaa") == [[""], ["aaa"]]
    assert r.transform_string("baaa", "-") == "-b-"
    # each match its own list, one `str` per distinct text
    found = q.Regex("x").search_string("xx")
    assert found == [["x"], ["x"]]
    assert found[0] is not found[1] and found[0][0] is found[1][0]
    # the replacement is literal
    assert q.Regex(r"(b)").transform_string("abc", r"$0\1") == "a$0\\1c"
    assert q.Regex("a+").parse_string("  aab") == ["aa"]
    assert q.Regex("a*").parse_string("bbb") == [""]
    # scans do not skip leading whitespace
    assert q.Regex(" ").search_string_count("  a ") == 3


@pytest.mark.parametrize("pattern, text, expected", [
    (r"\s+", "   ", False), (r"\s+", "\x0c", True), (r"\s+", "", False),
    ("[ab]", " a ", True), ("[ab]", "ab", False), ("[ab]", "", False),
    ("a", "ab", False), ("a", "a \n", True), ("a|ab", "ab", False),
])
def test_regex_matches(pattern, text, expected):
    assert q.Regex(pattern).matches(text) is expected


REGEX_PATTERNS = st.sampled_from([
    r"[A-Za-z_][A-Za-z0-9_]*", r"\d+(?:\.\d+)?", r"\b(?:if|for|while)\b", r'"[^"\n]*"',
    "a*", "x?", r"\bi", "é+", ".", "(?:ab)+|a",
])


@given(st.text(alphabet='ab1.x"if é\n', max_size=50), REGEX_PATTERNS)
def test_regex_iteration_agrees_with_the_reference(text, pattern):
    spans = regex_reference(pattern, text)
    r = q.Regex(pattern)
    assert r.search_string_count(text) == len(spans)
    assert r.search_string(text) == [[text[a:b]] for a, b in spans]
    replaced, last = [], 0
    for a, b in spans:
        replaced += [text[last:a], "<>"]
        last = b
    assert r.transform_string(text, "<>") == "".join(replaced) + text[last:]


# Patterns that run on byte tables, each against its twin in a group (which
# keeps it on RE2): every operation must give the same answer.
CLASS_RUNS = st.sampled_from([
    r"[A-Za-z_][A-Za-z0-9_]*", r"[0-9]+", r"\w+", r'"[^"\n]*"', r"[^ ,]+", r"\S+", r"x\.[a-f]*",
    r"\W+", r"<[^>]+>", ".+", r"[\D]+;",
])
RUN_TEXT = st.text(alphabet='ab_Z09 ,."<>;x\n\té€😀', max_size=40)


@given(RUN_TEXT, CLASS_RUNS)
def test_class_runs_agree_with_re2(text, pattern):
    run, twin = q.Regex(pattern), q.Regex(f"(?:{pattern})")
    assert run.search_string_count(text) == twin.search_string_count(text)
    assert run.search_string(text) == twin.search_string(text)
    assert run.transform_string(text, "<>") == twin.transform_string(text, "<>")
    assert run.matches(text) is twin.matches(text)
    for whole in (text, text.strip(" \t\n\r")):
        try:
            want = twin.parse_string(whole)
        except ValueError:
            with pytest.raises(ValueError):
                run.parse_string(whole)
        else:
            assert run.parse_string(whole) == want
    items = [text[i:] for i in range(len(text) + 1)]
    assert run.parse_batch(items) == twin.parse_batch(items)
    assert run.parse_batch_count(items) == twin.parse_batch_count(items)


def test_batch_of_distinct_items_then_repeats():
    """Past a run of distinct items the map stops growing; the tokens stay right and a
    repeated neighbour still shares its token."""
    r = q.Regex("[a-z]+")
    distinct = [fresh(f"ab{i}") for i in range(200)]
    items = distinct + distinct[:50] + [distinct[7], distinct[7]]
    out = r.parse_batch(items)
    assert out == ["ab"] * len(items)
    assert out[-1] is out[-2]
    assert r.parse_batch_count(items) == len(items)


# ---------------------------------------------------------------------------
# And


def test_and_parse_string_per_child_class():
    assert (q.Literal("a") + q.Group(q.Literal("b"))).parse_string("a b") == ["a", ["b"]]
    assert (q.CaselessLiteral("abc") + q.Literal("x")).parse_string("ABC x") == ["ABC", "x"]
    assert (q.Literal("a") + q.Suppress(q.Literal("b")) + q.Literal("c")).parse_string(
        "a b c") == ["a", "c"]
    assert (q.Literal("a") + q.Literal("b")).parse_string(" a b c") == ["a", "b"]
    assert (q.Literal("a") + q.Optional(q.Literal("z"))).parse_string("a") == ["a"]


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


def test_and_matches_and_search():
    seq = q.Literal("a") + q.Word("b")
    assert seq.matches("  a bb \n") is True
    assert seq.matches("a bb c") is False
    assert seq.search_string("") == []
    assert seq.search_string("a b xx a bbb") == [["a", "b"], ["a", "bbb"]]
    both_optional = q.Optional(q.Literal("z")) + q.Optional(q.Literal("y"))
    assert both_optional.search_string_count("abc") == 3
    assert both_optional.search_string("abc") == []


@given(MIXED)
def test_and_scans_agree_with_the_generic_scan(text):
    seq = q.Word("ab") + q.Optional(q.Literal("-")) + q.Word("5é")
    assert seq.search_string_count(text) == q.Group(seq).search_string_count(text)
    assert seq.search_string(text) == [item[0] for item in q.Group(seq).search_string(text)]
