"""Constructors: argument binding, conversions and validation."""

import pytest

import quernlet as q

A = q.Literal("a")


class bool_:  # noqa: N801 - stands in for numpy's boolean scalar type
    __module__ = "numpy"


class BoolFailing:
    __module__ = "numpy"

    def __bool__(self):
        raise TypeError("bad truth")


BoolFailing.__name__ = BoolFailing.__qualname__ = "bool"


def test_arguments_by_keyword_and_the_edges_that_are_accepted():
    built = [
        q.Literal(s=""), q.Char(""), q.Word(init_chars="x", body_chars=None),
        q.Regex(pattern="x+"), q.QuotedString("'", "\\", False, True),
        q.QuotedString(unquote=False, multiline=True, esc_char="", quote_char=""),
        q.MatchFirst(exprs=[A, A]), q.Exactly(count=2**64 - 1, expr=A), q.SkipTo(expr=A),
    ]
    assert [type(x).__name__ for x in built] == [
        "Literal", "Char", "Word", "Regex", "QuotedString", "QuotedString", "MatchFirst",
        "Exactly", "SkipTo"]


@pytest.mark.parametrize("call, error, message", [
    # Binding.
    (lambda: q.Literal(), TypeError,
     "Literal.__new__() missing 1 required positional argument: 's'"),
    (lambda: q.Empty(1), TypeError, "Empty.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: q.rest_of_line(x=1), TypeError,
     "rest_of_line.__new__() got an unexpected keyword argument 'x'"),
    (lambda: q.Word("a", "b", "c"), TypeError,
     "Word.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: q.Word("a", init_chars="b"), TypeError,
     "Word.__new__() got multiple values for argument 'init_chars'"),
    (lambda: q.Exactly(), TypeError,
     "Exactly.__new__() missing 2 required positional arguments: 'expr' and 'count'"),
    # Texts.
    (lambda: q.Literal(5), TypeError, "argument 's': 'int' object is not an instance of 'str'"),
    (lambda: q.Word(None), TypeError,
     "argument 'init_chars': 'None' is not an instance of 'str'"),
    (lambda: q.Word("a", 5), TypeError,
     "argument 'body_chars': 'int' object is not an instance of 'str'"),
    (lambda: q.QuotedString(None), TypeError,
     "argument 'quote_char': 'None' is not an instance of 'str'"),
    (lambda: q.QuotedString(esc_char=1), TypeError,
     "argument 'esc_char': 'int' object is not an instance of 'str'"),
    # Flags.
    (lambda: q.QuotedString(multiline=None), TypeError,
     "argument 'multiline': 'None' is not an instance of 'bool'"),
    (lambda: q.QuotedString(unquote="yes"), TypeError,
     "argument 'unquote': 'str' object is not an instance of 'bool'"),
    (lambda: q.QuotedString(multiline=bool_()), TypeError,
     "argument 'multiline': object of type 'bool_' does not define a '__bool__' conversion"),
    (lambda: q.QuotedString(unquote=BoolFailing()), TypeError, "argument 'unquote': bad truth"),
    # Counts.
    (lambda: q.Exactly(A, -1), OverflowError, None),
    (lambda: q.Exactly(A, 2**64), OverflowError, None),
    (lambda: q.Exactly(A, 2.0), TypeError,
     "argument 'count': 'float' object cannot be interpreted as an integer"),
    (lambda: q.Exactly("a", 2.0), TypeError,
     "argument 'count': 'float' object cannot be interpreted as an integer"),
    # Elements.
    (lambda: q.Exactly("a", 2), ValueError, "Unsupported parser element type"),
    (lambda: q.Optional("a"), ValueError, "Unsupported parser element type"),
    (lambda: q.Group(q.Literal), ValueError, "Unsupported parser element type"),
    (lambda: q.MatchFirst((A,)), TypeError,
     "argument 'exprs': 'tuple' object is not an instance of 'list'"),
    (lambda: q.MatchFirst([A, A, "c"]), ValueError, "Unsupported expression type at index 2"),
])
def test_invalid_arguments(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("pattern", ["(a", "a)|(b", "[]", "x**", "a{2,1}"])
def test_regex_compile_error_shows_pattern_as_written(pattern):
    with pytest.raises(ValueError) as info:
        q.Regex(pattern)
    text = str(info.value)
    assert text.startswith("regex parse error:\n    " + pattern + "\n")
    assert "(?:" not in text and "\nerror: " in text


def test_regex_pattern_is_not_wrapped():
    assert q.Regex(r"\Qa.b").search_string("xa.b axb a.b") == [["a.b"], ["a.b"]]
    assert q.Regex("a|b").search_string_count("ab") == 2


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Custom(TypeError):
    pass


def test_count_conversion():
    assert q.Exactly(q.Literal("a"), True).parse_string("aaa") == ["a"]
    assert q.Exactly(q.Literal("a"), Index(2)).parse_string("aaa") == ["a", "a"]
    assert q.Exactly(q.Literal("a"), 0).parse_string("aaa") == []
    with pytest.raises(ValueError, match="^no$"):
        q.Exactly(A, Index(ValueError("no")))
    # Only a plain TypeError is reworded; the caller's own type survives.
    with pytest.raises(Custom, match="^mine$"):
        q.Exactly(A, Index(Custom("mine")))
    # The reworded TypeError keeps the original's cause.
    cause = KeyError("inner")
    outer = TypeError("outer")
    outer.__cause__ = cause
    with pytest.raises(TypeError) as info:
        q.Exactly(A, Index(outer))
    assert str(info.value) == "argument 'count': outer"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("element, text, tokens", [
    (q.Word("a"), "aaa", ["aaa"]),
    (q.Word("a", None), "aaa", ["aaa"]),
    (q.Word("a", ""), "aaa", ["a"]),
    (q.Word("a", "b"), "abba", ["abb"]),
    (q.QuotedString(), '"x y"', ["x y"]),
    (q.QuotedString(unquote=False), '"x"', ['"x"']),
    (q.QuotedString("'", esc_char=None), "'x'", ["x"]),
    (q.QuotedString(multiline=True), '"x\ny"', ["x\ny"]),
    (q.MatchFirst(type("Exprs", (list,), {})([q.Literal("<"), q.Literal("<=")])), "<=", ["<"]),
])
def test_constructed_elements(element, text, tokens):
    assert element.parse_string(text) == tokens


def test_numpy_bool_flags():
    np = pytest.importorskip("numpy")
    assert q.QuotedString(multiline=np.True_).matches('"x\ny"')
    assert not q.QuotedString(multiline=np.False_).matches('"x\ny"')
    assert q.QuotedString(unquote=np.False_).parse_string('"x"') == ['"x"']
    with pytest.raises(TypeError, match="^argument 'multiline': 'int64' object is not an instance"):
        q.QuotedString(multiline=np.int64(1))
    # numpy integers are counts through the index protocol.
    assert q.Exactly(q.Literal("a"), np.uint8(2)).parse_string("aaa") == ["a", "a"]
