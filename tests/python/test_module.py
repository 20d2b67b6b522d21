"""Module registration, class objects and the argument binding of methods."""

import importlib
import sys

import pytest

import quernlet as q

CLASSES = [
    "Literal", "Keyword", "Word", "Regex", "And", "MatchFirst", "ZeroOrMore", "OneOrMore",
    "Optional", "Group", "Suppress", "Forward", "Combine", "Exactly", "CaselessLiteral",
    "CaselessKeyword", "Char", "StringStart", "StringEnd", "LineStart", "LineEnd",
    "rest_of_line", "QuotedString", "Empty", "NoMatch", "SkipTo",
]
FUNCTIONS = [
    "alphas", "alphanums", "nums", "printables", "hexnums", "alphas_upper", "alphas_lower",
    "one_of",
]

CONSTRUCTOR_SIGNATURES = {
    **{c: "(s)" for c in ["Literal", "Keyword", "CaselessLiteral", "CaselessKeyword", "Char"]},
    "Word": "(init_chars, body_chars=None)",
    "Regex": "(pattern)",
    "QuotedString": '(quote_char="\\"", esc_char=None, multiline=False, unquote=True)',
    "MatchFirst": "(exprs)",
    "Exactly": "(expr, count)",
    **{c: "(expr)" for c in ["Optional", "ZeroOrMore", "OneOrMore", "Group", "Suppress",
                             "Combine", "SkipTo"]},
    **{c: "()" for c in ["Forward", "LineStart", "LineEnd", "StringStart", "StringEnd",
                         "Empty", "NoMatch", "rest_of_line"]},
}

METHOD_SIGNATURES = {
    "parse_string": "($self, s)", "matches": "($self, s)", "search_string": "($self, s)",
    "search_string_count": "($self, s)", "transform_string": "($self, s, replacement)",
    "parse_batch": "($self, inputs)", "parse_batch_count": "($self, inputs)",
}


def test_module_names():
    assert q.__all__ == CLASSES + FUNCTIONS + ["__version__"]
    assert all(type(name) is str for name in q.__all__)
    assert q.__version__ == "0.2.0"
    assert q.__doc__ == "quernlet module"
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(q)) - standard == set(q.__all__) | {"__all__"}


def test_functions_and_class_specific_methods():
    for name in FUNCTIONS:
        f = getattr(q, name)
        assert (f.__module__, f.__self__, f.__name__) == ("quernlet", q, name)
    assert q.alphas.__doc__ is None
    assert q.alphas.__text_signature__ == "()"
    assert q.one_of.__text_signature__ == "(strs)"
    assert q.one_of.__doc__ == (
        "Create a MatchFirst from a space-separated string of literal alternatives,\n"
        'for example one_of("+ - * /").'
    )
    assert q.Word._search_string_flat.__text_signature__ == "($self, s)"
    assert q.Forward.set.__doc__ == "Set the inner parser expression (the same as <<=)."
    assert q.Forward.set.__text_signature__ == "($self, expr)"


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_signatures(name):
    cls = getattr(q, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    if name == "And":
        assert cls.__doc__ is None and cls.__text_signature__ is None
        with pytest.raises(TypeError):
            cls()
    else:
        assert cls.__text_signature__ == CONSTRUCTOR_SIGNATURES[name]
    for method, signature in METHOD_SIGNATURES.items():
        assert getattr(cls, method).__text_signature__ == signature
    assert hasattr(cls, "set") == (name == "Forward")
    assert hasattr(cls, "_search_string_flat") == (name == "Word")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_reimport_shares_type_objects():
    first = sys.modules.pop("quernlet")
    try:
        second = importlib.import_module("quernlet")
        assert second is not first
        assert second.__all__ == first.__all__
        for name in CLASSES:
            assert getattr(second, name) is getattr(first, name)
        # Objects made through either module mix freely.
        assert type(second.Literal("a") + first.Literal("b")) is first.And
    finally:
        sys.modules["quernlet"] = first


def test_objects_release_their_type_and_payload():
    before = sys.getrefcount(q.Literal), sys.getrefcount(q.Keyword), sys.getrefcount(q.Word)
    for _ in range(200):
        q.Literal("abc")
        q.Keyword("abc")
        q.Word("abc")
    assert (sys.getrefcount(q.Literal), sys.getrefcount(q.Keyword),
            sys.getrefcount(q.Word)) == before
    # A grammar keeps the payloads of objects that are gone.
    g = q.Literal("a") + q.Word("b")
    assert g.parse_string("a bb") == ["a", "bb"]


# ---------------------------------------------------------------------------
# Argument binding and conversion of methods and module functions.

@pytest.mark.parametrize("call, message", [
    (lambda: q.Literal("a").parse_string(),
     "Literal.parse_string() missing 1 required positional argument: 's'"),
    (lambda: q.Literal("a").parse_string("a", "b"),
     "Literal.parse_string() takes 1 positional arguments but 2 were given"),
    (lambda: q.Word("a").parse_string("a", s="b"),
     "Word.parse_string() got multiple values for argument 's'"),
    (lambda: q.Word("a").parse_string(t="b"),
     "Word.parse_string() got an unexpected keyword argument 't'"),
    (lambda: q.Word("a").transform_string(),
     "Word.transform_string() missing 2 required positional arguments: 's' and 'replacement'"),
    (lambda: q.Word("a").parse_string(**{"\udcff": 1}),
     "Word.parse_string() got an unexpected keyword argument '\udcff'"),
    (lambda: q.Forward().set(), "Forward.set() missing 1 required positional argument: 'expr'"),
    (lambda: q.one_of(), "one_of() missing 1 required positional argument: 'strs'"),
    (lambda: q.one_of(s="a"), "one_of() got an unexpected keyword argument 's'"),
    (lambda: q.Literal("a").parse_string(5),
     "argument 's': 'int' object is not an instance of 'str'"),
    (lambda: q.Literal("a").transform_string("a", b"x"),
     "argument 'replacement': 'bytes' object is not an instance of 'str'"),
    (lambda: q.Word("a").parse_batch("ab"),
     "argument 'inputs': 'str' object is not an instance of 'list'"),
    (lambda: q.Word("a").parse_batch_count(("a",)),
     "argument 'inputs': 'tuple' object is not an instance of 'list'"),
    (lambda: q.one_of(["a", "b"]), "argument 'strs': 'list' object is not an instance of 'str'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_keywords_and_subclasses_are_accepted():
    class Inputs(list):
        pass

    class Text(str):
        pass

    w = q.Word("ab")
    assert w.parse_string(s="ab") == ["ab"]
    assert w.transform_string(replacement="-", s="ab") == "-"
    assert w.parse_batch_count(Inputs(["ab", "x"])) == 1
    assert q.Literal("ab").matches(Text("ab"))
    assert q.one_of(strs="x y").parse_string("y") == ["y"]


@pytest.mark.parametrize("call", [
    lambda: q.Literal("a").parse_string("\ud800"), lambda: q.Literal("\ud800"),
    lambda: q.Literal("a").transform_string("a", "\ud800"), lambda: q.one_of("a \ud800")])
def test_lone_surrogate_is_the_interpreters_error(call):
    with pytest.raises(UnicodeEncodeError):
        call()
