"""The character-set functions and one_of."""

import string

import pytest
from hypothesis import given, strategies as st

import quernlet as q

PUNCTUATION = "".join(chr(c) for c in range(0x21, 0x7F) if not chr(c).isalnum())

CHARSETS = {
    "alphas": string.ascii_uppercase + string.ascii_lowercase,
    "alphanums": string.ascii_uppercase + string.ascii_lowercase + string.digits,
    "nums": string.digits,
    "printables": string.digits + string.ascii_lowercase + string.ascii_uppercase + PUNCTUATION,
    "hexnums": "0123456789abcdefABCDEF",
    "alphas_upper": string.ascii_uppercase,
    "alphas_lower": string.ascii_lowercase,
}

# The characters with the Unicode White_Space property.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200B))
               + "\u2028\u2029\u202f\u205f\u3000")


@pytest.mark.parametrize("name, expected", CHARSETS.items())
def test_charset_values(name, expected):
    f = getattr(q, name)
    value = f()
    assert value == expected
    assert f() is not value
    with pytest.raises(TypeError):
        f(1)


def words_of(text):
    """The alternatives of one_of(text), read back by scanning the text itself."""
    return [item[0] for item in q.one_of(text).search_string(text)]


@pytest.mark.parametrize("text, words", [
    ("+ - * /", ["+", "-", "*", "/"]),
    ("  a\tb\n\nc  ", ["a", "b", "c"]),
    ("a\x0bb\x0cc\xa0d\u3000e\u2028f\x85g", list("abcdefg")),
    # str.split() also splits at these, but they are not White_Space
    ("a\x1fb\x1cc", ["a\x1fb\x1cc"]),
    ("\u00e9t\u00e9 \u00fc", ["\u00e9t\u00e9", "\u00fc"]),
])
def test_one_of_splits_on_unicode_white_space(text, words):
    assert words_of(text) == words


@pytest.mark.parametrize("text", ["", "   ", "\u3000", WHITE_SPACE])
def test_one_of_needs_a_word(text):
    with pytest.raises(ValueError, match="^one_of requires at least one string$"):
        q.one_of(text)


words = st.text(alphabet="ab\u00e9\x1c\x1f", min_size=1, max_size=4)
separators = st.text(alphabet=WHITE_SPACE, min_size=1, max_size=3)


@given(st.lists(words, min_size=1, max_size=6), st.lists(separators, min_size=7, max_size=7))
def test_one_of_alternatives_follow_the_words(ws, seps):
    text = seps[0] + "".join(w + s for w, s in zip(ws, seps[1:]))
    m = q.one_of(text)
    assert type(m) is q.MatchFirst
    for w in ws:
        # The first word (in order) that starts `w` is the alternative that wins.
        first = next(x for x in ws if w.startswith(x))
        assert m.parse_string(w) == [first]
