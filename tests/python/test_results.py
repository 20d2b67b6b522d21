"""Nested results: what the token conversion builds, and the collector it pauses."""

import gc

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
