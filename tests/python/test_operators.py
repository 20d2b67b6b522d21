"""The grammar operators `+`, `|`, `<<=` and Forward.set."""

import pytest

import quernlet as q

a, b, c, d = (q.Literal(x) for x in "abcd")


@pytest.mark.parametrize("make, good, bad, failure", [
    # And operands are spliced: their children are Literals, which fail
    # with the sequence's own text (an And child would report a position).
    (lambda: (a + b) + c, "a b c", "a x c", "Expected match$"),
    (lambda: a + (b + c), "a b c", "a x c", "Expected match$"),
    (lambda: (a + b) + (a + b), "a b a b", "a b a x", "Expected match$"),
    # a MatchFirst operand stays one child
    (lambda: (a | b) + c, "b c", "x c", "ParseException at position 0: "),
])
def test_plus_splices_and_operands(make, good, bad, failure):
    g = make()
    assert type(g) is q.And
    assert g.parse_string(good) == good.split()
    with pytest.raises(ValueError, match="^" + failure):
        g.parse_string(bad)


def test_operands_are_not_changed_and_or_flattens():
    ab = a + b
    abc = ab + c
    assert ab.matches("a b") and not abc.matches("a b") and abc.matches("a b c")
    m = a | b
    assert not m.matches("c") and (m | c).matches("c")
    for g in ((a | b) | (c | d), a | (b | c) | d):
        assert type(g) is q.MatchFirst
        assert [g.parse_string(x) for x in "abcd"] == [["a"], ["b"], ["c"], ["d"]]
        assert not g.matches("e")
    g = c | (a + b)
    assert g.parse_string("a b") == ["a", "b"] and g.parse_string("c") == ["c"]
    with pytest.raises(TypeError, match="unsupported operand type"):
        (a + b) | c


@pytest.mark.parametrize("combine, message", [
    (lambda: a + "x", "Unsupported operand type for +"),
    (lambda: (a + b) + None, "Unsupported operand type for +"),
    (lambda: a | 5, "Unsupported operand type for |"),
    (lambda: (a | b) | [a], "Unsupported operand type for |"),
])
def test_right_operand_must_be_an_element(combine, message):
    with pytest.raises(ValueError) as info:
        combine()
    assert str(info.value) == message


def test_foreign_left_operand_is_not_implemented():
    x = a
    with pytest.raises(TypeError):  # only Forward has <<=
        x <<= b
    for left in ("x", 5, None, [a]):
        with pytest.raises(TypeError):
            left + a
        with pytest.raises(TypeError, match="unsupported operand type"):
            left | a

    class Other:
        def __radd__(self, other):
            return "radd"

    # The right operand's reflected operation is not tried.
    with pytest.raises(ValueError, match="^Unsupported operand type for \\+$"):
        a + Other()


def test_forward_ilshift_and_set():
    f = q.Forward()
    g = f + c  # built before the Forward is set: shares its payload
    same = f
    same <<= a | b
    assert same is f
    assert g.parse_string("b c") == ["b", "c"]
    assert f.set(d) is None
    assert f.parse_string("d") == ["d"]
    assert not f.matches("a")
    assert g.parse_string("d c") == ["d", "c"]
    # A rejected inner element leaves the one set before.
    with pytest.raises(ValueError, match="^Unsupported parser element type$"):
        f <<= "b"
    with pytest.raises(ValueError, match="^Unsupported parser element type$"):
        f.set(5)
    assert f.parse_string("d") == ["d"]
    assert f.set(expr=b) is None and f.matches("b")
