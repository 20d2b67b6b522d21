"""SkipTo inside the scans: results equal a plain reimplementation of the scans.

Within one call a SkipTo search keeps its answers for later starts; the grammars here
use one SkipTo at several places of a match, several SkipTos on one target, SkipTos
nested in targets and recursion through a Forward, so that a kept answer applied where
it does not hold shows as a difference.
"""

from hypothesis import given, strategies as st

import quernlet as q

WS = b" \t\n\r"
IDENT = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")

# Texts of pieces the targets below look for, among ASCII letters, whitespace, characters
# of two, three and four bytes, and runs long enough for a search over them to be kept.
TEXTS = st.lists(st.sampled_from(["a", "b", "x", "xy", " ", "\n", "é", "€", "😀", "(", "a(",
                                  "ab", "a" * 40, " " * 35, "b" * 33, "é" * 20, "😀" * 9]),
                 min_size=2, max_size=24).map("".join)


# ---------------------------------------------------------------------------
# The reference: a plain interpreter over UTF-8 bytes. A node is a list [kind, ...];
# `match` gives the end of a match at p or None, `parse` the end and the tokens.

def boundary(d, p):
    return p >= len(d) or d[p] & 0xC0 != 0x80


def skip_ws(d, p):
    while p < len(d) and d[p] in WS:
        p += 1
    return p


def parse(node, d, p, known=None):
    """The end and tokens of a match of `node` at `p`, or None. `known` keeps the end of
    each SkipTo search by (node, start) for one text: a search is a function of both."""
    known = {} if known is None else known
    kind = node[0]
    if kind in ("lit", "kw"):
        s = node[1]
        end = p + len(s)
        if not d.startswith(s, p) or kind == "kw" and end < len(d) and d[end] in IDENT:
            return None
        return end, [s.decode()]
    if kind == "skip":
        if p > len(d) or not boundary(d, p):
            return None
        key = (id(node), p)
        if key not in known:
            known[key] = next((k for k in range(p, len(d) + 1)
                               if boundary(d, k) and parse(node[1], d, k, known) is not None),
                              None)
        k = known[key]
        return None if k is None else (k, [d[p:k].decode()])
    if kind == "and":
        tokens = []
        for child in node[1]:
            r = parse(child, d, skip_ws(d, p), known)
            if r is None:
                return None
            p, more = r
            tokens += more
        return p, tokens
    if kind == "or":
        for child in node[1]:
            r = parse(child, d, p, known)
            if r is not None:
                return r
        return None
    if kind == "opt":
        return parse(node[1], d, p, known) or (p, [])
    return parse(node[1], d, p, known)  # forward


NORMAL = ("lit", "kw", "skip", "opt")


def scans(node, text):
    """search_string, transform_string with "#" and search_string_count, by the plain scan.
    Every match counts; only one that consumes is listed, replaced and stepped over."""
    d, items, out, count, p, last, known = text.encode(), [], [], 0, 0, 0, {}
    while p < len(d):
        r = parse(node, d, p, known)
        count += r is not None
        if r is not None and r[0] > p:
            items.append([d[p:r[0]].decode()] if node[0] in NORMAL else r[1])
            out += [d[last:p], b"#"]
            p = last = r[0]
        else:
            p += 1
    return items, b"".join(out + [d[last:]]).decode(), count


# ---------------------------------------------------------------------------
# Random grammars, built as element and reference node side by side.

TARGET_TEXTS = ["x", "xy", "b", "é", "€", "😀", "("]


@st.composite
def grammars(draw):
    pool = []  # (element, node) built so far, for reuse

    def target():
        s = draw(st.sampled_from(TARGET_TEXTS))
        if draw(st.booleans()):
            return q.Keyword(s), ["kw", s.encode()]
        return q.Literal(s), ["lit", s.encode()]

    def recursive():
        # F <<= MatchFirst([open + SkipTo(F), base]): a SkipTo searching for a match
        # of its own kind, which nests a search of the same SkipTo.
        f, node = q.Forward(), ["fwd", None]
        base = target()
        open_ = draw(st.sampled_from(["(", "a("]))
        skip = q.SkipTo(f)
        inner = q.MatchFirst([q.Literal(open_) + skip, base[0]])
        f <<= inner
        node[1] = ["or", [["and", [["lit", open_.encode()], ["skip", node]]], base[1]]]
        return f, node

    def build(depth):
        if pool and draw(st.integers(0, 3)) == 0:
            return draw(st.sampled_from(pool))
        choice = draw(st.integers(0, 5 if depth > 0 else 1))
        if choice == 0:
            built = target()
        elif choice == 1:
            t = build(depth - 1) if depth > 0 and draw(st.booleans()) else target()
            built = q.SkipTo(t[0]), ["skip", t[1]]
        elif choice == 2:
            built = recursive()
        elif choice == 3:
            kids = [build(depth - 1) for _ in range(draw(st.integers(1, 3)))]
            built = q.MatchFirst([k[0] for k in kids]), ["or", [k[1] for k in kids]]
        elif choice == 4:
            kid = build(depth - 1)
            built = q.Optional(kid[0]), ["opt", kid[1]]
        else:
            kids = [build(depth - 1) for _ in range(draw(st.integers(2, 3)))]
            element = kids[0][0] + kids[1][0]
            for k in kids[2:]:
                element = element + k[0]
            built = element, ["and", [k[1] for k in kids]]
        pool.append(built)
        return built

    # The top is a SkipTo or holds one.
    element, node = build(3)
    if "skip" not in repr(node):
        element, node = q.SkipTo(element), ["skip", node]
    return element, node


@given(grammars(), TEXTS)
def test_scans_equal_the_plain_scan(grammar, text):
    element, node = grammar
    assert (element.search_string(text), element.transform_string(text, "#"),
            element.search_string_count(text)) == scans(node, text)


@given(grammars(), TEXTS)
def test_batch_items_keep_apart(grammar, text):
    # Texts of one length in one call: answers kept for one item never reach another.
    element, node = grammar
    items = [text[k:] + text[:k] for k in range(len(text))]
    want = sum(parse(node, t.encode(), 0) is not None for t in items)
    assert element.parse_batch_count(items) == want
