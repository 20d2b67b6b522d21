"""Nested results: what the token conversion builds, and the collector it pauses."""

import gc
import json

import pytest
from hypothesis import given, strategies as st

import quernlet as q

try:
    import _testcapi
except ImportError:  # a build of the interpreter without its test module
    _testcapi = None


def sym(c):
    return q.Suppress(q.Literal(c))


def nested_lists():
    """A grammar of nested bracketed lists of words."""
    value = q.Forward()
    items = q.Optional(value + q.ZeroOrMore(sym(",") + value))
    value <<= q.Word(q.alphas()) | q.Group(sym("[") + items + sym("]"))
    return value


NESTED = "[a, [b, [c, d], []], e]"
NESTED_RESULT = [["a", ["b", ["c", "d"], []], "e"]]

# Every route by which a parse's tokens become Python lists.
ROUTES = [
    pytest.param(lambda g, t: g.parse_string(t), id="parse_string"),
    pytest.param(lambda g, t: (g + q.StringEnd()).parse_string(t), id="And.parse_string"),
    pytest.param(lambda g, t: q.MatchFirst([q.NoMatch(), g]).parse_string(t),
                 id="MatchFirst.parse_string"),
    pytest.param(lambda g, t: g.search_string(t)[0], id="search_string"),
    pytest.param(lambda g, t: g.parse_batch([t])[0], id="parse_batch"),
]


@pytest.fixture(params=[True, False], ids=["gc-enabled", "gc-disabled"])
def collector(request):
    """The caller's collector setting for the test, put back afterwards."""
    was = gc.isenabled()
    (gc.enable if request.param else gc.disable)()
    yield request.param
    (gc.enable if was else gc.disable)()


@pytest.mark.parametrize("route", ROUTES)
def test_nested_results_leave_the_callers_collector_setting(route, collector):
    assert route(nested_lists(), NESTED) == NESTED_RESULT
    assert gc.isenabled() == collector
    with pytest.raises(ValueError):
        nested_lists().parse_string("[a, ")
    assert gc.isenabled() == collector


@pytest.mark.skipif(_testcapi is None, reason="needs the interpreter's test module")
def test_setting_restored_when_building_the_result_runs_out_of_memory(collector):
    grammar = nested_lists() + q.StringEnd()
    text = "[" + ", ".join(["[word, [x, y]]"] * 200) + "]"
    failures = 0
    # Allocation k of the call fails, for every k until a call gets through:
    # some fail while the lists are built, with the collector paused.
    for k in range(1, 2000):
        _testcapi.set_nomemory(k, 0)
        try:
            result = grammar.parse_string(text)
        except MemoryError:
            result = None  # nothing here may allocate until the hooks are gone
        finally:
            _testcapi.remove_mem_hooks()
        assert gc.isenabled() == collector
        if result is not None:
            break
        failures += 1
    assert len(result[0]) == 200
    assert failures > 100


# ---------------------------------------------------------------------------
# Token texts: the slices of the text that tokens refer to must give exactly
# the texts that the span-based route (search_string of a Normal element,
# which never makes tokens) gives.

MIXED = st.text(alphabet="ab1- \t\n\"\\;éÊ€😀", max_size=60)
LETTERS = "abéÊ€😀"

TOKEN_KINDS = [
    pytest.param(lambda: q.Word(LETTERS), id="Word"),
    pytest.param(lambda: q.Regex("[a-z€]+[0-9]*"), id="Regex"),
    pytest.param(lambda: q.Char("aé😀"), id="Char"),
    pytest.param(lambda: q.QuotedString('"', unquote=False), id="QuotedString"),
    pytest.param(lambda: q.Combine(q.Word(LETTERS) + q.Literal("-") + q.Word(LETTERS)),
                 id="Combine"),
    pytest.param(lambda: q.SkipTo(q.Literal(";")), id="SkipTo"),
    pytest.param(lambda: q.rest_of_line(), id="rest_of_line"),
]


@pytest.mark.parametrize("make", TOKEN_KINDS)
@given(text=MIXED)
def test_token_texts_equal_the_matched_spans(make, text):
    element = make()
    spans = element.search_string(text)
    assert q.Group(element).search_string(text) == [[span] for span in spans]
    assert q.Group(q.Group(element)).search_string(text) == [[[span]] for span in spans]


def json_like():
    value = q.Forward()
    number = q.Regex(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")
    member = q.Group(q.QuotedString('"', esc_char="\\") + sym(":") + value)
    obj = q.Group(sym("{") + q.Optional(member + q.ZeroOrMore(sym(",") + member)) + sym("}"))
    array = q.Group(sym("[") + q.Optional(value + q.ZeroOrMore(sym(",") + value)) + sym("]"))
    value <<= (q.QuotedString('"', esc_char="\\") | number | obj | array | q.Keyword("true")
               | q.Keyword("false") | q.Keyword("null"))
    return value + q.StringEnd()


def as_lists(v):
    """A decoded JSON value in the JSON-like grammar's shape."""
    if isinstance(v, dict):
        return [[k, as_lists(x)] for k, x in v.items()]
    if isinstance(v, list):
        return [as_lists(x) for x in v]
    if v is None or isinstance(v, bool):
        return json.dumps(v)
    return v if isinstance(v, str) else repr(v)


# Strings without control characters, which JSON would escape in ways the
# grammar keeps as written; quotes and backslashes are escaped with `\`.
JSON_TEXT = st.text(st.characters(blacklist_categories=("Cc", "Cs")), max_size=8)
JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False,
                                                          allow_infinity=False) | JSON_TEXT,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(JSON_TEXT, inner, max_size=4),
    max_leaves=30)


@given(JSON_VALUES, st.sampled_from([None, 1]))
def test_json_like_grammar_agrees_with_json(value, indent):
    text = json.dumps(value, ensure_ascii=False, indent=indent)
    assert json_like().parse_string(text) == [as_lists(json.loads(text))]
