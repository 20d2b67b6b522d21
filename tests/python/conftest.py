"""Hypothesis settings shared by the Python tests."""

import os

from hypothesis import settings

# Under the sanitizers every call is several times slower: fewer examples.
# CI runs derandomized, so that a landing never depends on the draw; local
# runs keep exploring new examples.
settings.register_profile(
    "quernlet", max_examples=12 if os.environ.get("QUERNLET_SANITIZED") == "1" else 80,
    deadline=None, derandomize=os.environ.get("QUERNLET_CI") == "1")
settings.load_profile("quernlet")


# --- Helpers shared by the batch tests (imported as `from conftest import ...`) ---

import sys  # noqa: E402

from hypothesis import strategies as st  # noqa: E402


def fresh(text):
    """A new str object equal to `text` (never a cached or interned one, short texts aside)."""
    return (text + "\x00")[:-1]


@st.composite
def layouts(draw, pool_size):
    """Index lists into a pool of `pool_size` objects, laid out the ways the batch drivers
    tell apart: random, uniform, periodic with or without a tail, periodic but broken by one
    item (the pool's last), and 40 distinct objects each recurring later (past every
    identity table)."""
    idx = draw(st.lists(st.integers(0, pool_size - 2), max_size=150))
    shape = draw(st.sampled_from(["random", "uniform", "cyclic", "broken", "mirror"]))
    if shape == "uniform":
        return idx[:1] * draw(st.integers(0, 300))
    if shape == "mirror":
        return list(range(40)) + list(range(39, -1, -1))
    if shape == "random" or not idx:
        return idx
    period = min(draw(st.integers(1, 130)), len(idx))
    out = [idx[k % period] for k in range(draw(st.integers(2 * period, 3 * period)))]
    if shape == "broken":
        out[draw(st.integers(0, len(out) - 1))] = pool_size - 1
    return out


def period_of(items):
    """The period a batch driver finds: the first recurrence p < 128 of item 0, when the
    whole list (of at least two periods) repeats its first p items; else 0."""
    p = next((k for k in range(1, min(len(items), 128)) if items[k] is items[0]), 0)
    if p and len(items) >= 2 * p and all(items[k] is items[k - p] for k in range(p, len(items))):
        return p
    return 0


def assert_refcounts(objs, *holders):
    """Each distinct object of `objs` has exactly the references its slots in `holders` give
    it (immortal objects aside; each distinct holder counted once): a fill that misses or
    doubles an INCREF shows here."""
    uniq = {id(o): o for o in objs}
    holders = {id(h): h for h in holders}.values()
    for o in uniq.values():
        refs = sys.getrefcount(o)  # the dict, the loop variable and the argument: 3
        if refs < 1 << 28:
            assert refs == 3 + sum(x is o for h in holders for x in h)
