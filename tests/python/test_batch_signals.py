"""Signal handlers that run in the middle of parse_batch and parse_batch_count: a batch answers
for the items its list held when the call began, whatever a handler does to the list, shows no
half-built list to Python code, and ends on a handler's exception."""

import functools
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quernlet as q

SCALE = 10 if os.environ.get("QUERNLET_SANITIZED") == "1" else 1

# Tested from every start, its first alternative running to the end of the item: one item of
# N letters takes about 0.1 s (the time grows as N squared).
INNER = q.OneOrMore(q.MatchFirst([q.Word("a") + q.Literal("b"), q.Literal("a")]))
SLOW = {"generic": q.Group(INNER), "sequence": q.Literal("a") + INNER}
N = int(12_000 / math.sqrt(SCALE))


def slow_items(layout):
    """New objects each time: the uniform, periodic and fallback layouts of a few slow items."""
    x, y, z = ("a" * N + c for c in "xyz")
    return {"uniform": [x] * 50, "periodic": [x, y] * 25, "fallback": [x, y, z, x, x, z]}[layout]


def flat_items():
    """Many distinct short items, for Word's and Regex's own batch bodies."""
    return ["a" * 100 + str(i) for i in range(400_000 // SCALE)]


REWRITES = {
    "clear": lambda items: items.clear(),
    "replace": lambda items: items.__setitem__(slice(None), ["b", "ab"] * 3),
    "shorten": lambda items: items.__delitem__(slice(1, None, 2)),
}


@pytest.fixture
def alarm():
    """alarm(delay, handler): runs `handler` once on SIGALRM after `delay` seconds."""
    old = signal.getsignal(signal.SIGALRM)

    def arm(delay, handler):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, delay)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


def run_rewritten(alarm, call, make, rewrite, delay):
    """Runs `call(items)` while a handler rewrites `items` after `delay`; checks that the
    handler ran well before the call ended, and returns the result and the list after it."""
    expected_list = make()
    REWRITES[rewrite](expected_list)
    items = make()
    ran = []

    def handler(signum, frame):
        ran.append(time.perf_counter())
        REWRITES[rewrite](items)

    start = time.perf_counter()
    alarm(delay, handler)
    result = call(items)
    elapsed = time.perf_counter() - start
    if SCALE > 1 and not ran:
        # The smaller batches of instrumented runs may end before the timer fires.
        pytest.skip("the call ended before the timer")
    assert ran and (SCALE > 1 or ran[0] - start < elapsed / 2), "the handler did not run during the call"
    assert items == expected_list
    return result


@functools.cache
def undisturbed(op, grammar, layout):
    return getattr(SLOW[grammar], op)(slow_items(layout))


@pytest.mark.parametrize("rewrite", REWRITES)
@pytest.mark.parametrize("layout", ["uniform", "periodic", "fallback"])
@pytest.mark.parametrize("grammar", SLOW)
@pytest.mark.parametrize("op", ["parse_batch", "parse_batch_count"])
def test_a_handler_that_rewrites_the_list_changes_nothing_in_the_call(alarm, op, grammar, layout,
                                                                     rewrite):
    call = getattr(SLOW[grammar], op)
    expected = undisturbed(op, grammar, layout)
    assert run_rewritten(alarm, call, lambda: slow_items(layout), rewrite, 0.02) == expected


@pytest.mark.parametrize("rewrite", REWRITES)
@pytest.mark.parametrize("element", [q.Word("a"), q.Regex("a+")], ids=["Word", "Regex"])
@pytest.mark.parametrize("op", ["parse_batch", "parse_batch_count"])
def test_flat_batches_keep_their_items_under_a_rewriting_handler(alarm, op, element, rewrite):
    call = getattr(element, op)
    expected = call(flat_items())
    assert run_rewritten(alarm, call, flat_items, rewrite, 0.003) == expected


@pytest.mark.parametrize("call", [
    lambda: SLOW["generic"].parse_batch(slow_items("fallback") * 4),
    lambda: SLOW["sequence"].parse_batch(slow_items("fallback") * 4),
    lambda: SLOW["sequence"].parse_batch_count(slow_items("fallback") * 4),
    lambda: SLOW["generic"].parse_batch_count(["a" * 2 * N] * 3),
    lambda: q.Word("a").parse_batch(flat_items() * 8),
], ids=["generic", "sequence", "sequence count", "uniform count", "Word"])
def test_a_raising_handler_ends_a_batch_at_once(alarm, call):
    def handler(signum, frame):
        raise ValueError("stop")

    alarm(0.05, handler)
    start = time.perf_counter()
    with pytest.raises(ValueError, match="stop"):
        call()
    assert time.perf_counter() - start < 0.05 + 0.4 * SCALE


def test_handlers_walking_every_list_meet_no_unset_slot():
    # Every millisecond a handler reads every list the collector knows of, the results of the
    # batch under way among them, while each batch body fills its results.
    code = textwrap.dedent(f"""
        import gc, signal
        import quernlet as q
        signal.signal(signal.SIGINT, signal.default_int_handler)
        walks = 0
        def walk(signum, frame):
            global walks
            walks += 1
            for o in gc.get_objects():
                if isinstance(o, list):
                    for x in o:
                        type(x)
            # Armed again only now: a walk may outlast the period.
            signal.setitimer(signal.ITIMER_REAL, 0.001)
        signal.signal(signal.SIGALRM, walk)
        seq = q.Word('a') + q.Word('b')
        items = ['a' * {4000 // SCALE} + str(i % 97) for i in range(3000)]
        calls = [q.Group(seq).parse_batch, seq.parse_batch, q.Suppress(seq).parse_batch,
                 q.Word('a').parse_batch, q.Regex('a+').parse_batch]
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        for call in calls:
            for _ in range(5):
                assert len(call(list(items))) == len(items)
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        assert walks > 20, walks
        print("done")
        """)
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=120 * SCALE)
    assert child.returncode == 0 and child.stdout == "done\n", child.stderr


def test_texts_a_batch_searched_stay_alive_when_a_handler_drops_the_list(alarm):
    # The first handler empties the list, so the batch alone keeps its items. Were an item let
    # go once done, its UTF-8 copy (every item has one of the same size) could be freed and
    # given to the next item's, and the next SkipTo search would find the answer remembered
    # for the old text at that address.
    grammar = q.Group(q.SkipTo(q.Literal("x")))

    def make():
        return ["é" * 400 + " " * (i % 97) + "x" + " " * (96 - i % 97) for i in range(20_000)]

    expected = grammar.parse_batch(make())
    items = make()
    ran = []

    def drop(signum, frame):
        ran.append(signum)
        items.clear()

    alarm(0.001, drop)
    assert grammar.parse_batch(items) == expected
    assert ran and items == []
