"""Long scans, many alternatives and long result lists answer signals whatever the text
size, and counting that work changes no answer."""

import os
import random
import re
import signal
import time

import pytest

import quernlet as q

SLOW = os.environ.get("QUERNLET_SANITIZED") == "1"
# How soon a signal must be answered. Each call below takes seconds when only the
# attempts are counted (most take minutes or more in all).
BOUND = 5 if SLOW else 1
STRETCH = 1 << 20


class Alarm(Exception):
    pass


def answer_time(call):
    """Runs `call()` with a SIGALRM handler that raises Alarm, the signal arriving 50 ms in;
    returns how long after the signal the call ended."""

    def handler(signum, frame):
        raise Alarm

    old = signal.signal(signal.SIGALRM, handler)
    try:
        due = time.monotonic() + 0.05
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Alarm):
            call()
        return time.monotonic() - due
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# 2 GiB of distinct non-ASCII items, none encoded yet.
ENCODED = "[('é' * (1 << 19)) + str(i) for i in range(4000)]"

# Each: the text, the grammar, and the call on it.
LONG_WORK = {
    # Each attempt runs one leaf to the end of the text, then the sequence fails.
    "word run": ("'a' * 4_000_000", "q.Word('a') + q.Word('b')", "search_string_count"),
    "transform": ("'a' * 4_000_000", "q.Word('a') + q.Word('b')", "transform_string"),
    "optional": ("'a' * 4_000_000", "q.Optional(q.Word('a')) + q.Literal('b')", "search_string"),
    "regex call": ("'a' * 4_000_000", "q.Regex('a+') + q.Literal('b')", "search_string_count"),
    # Every attempt tries 20 000 alternatives.
    "alternatives": ("'ab' * 1_000_000", "q.MatchFirst([q.Regex('a%dz' % i) for i in range(20_000)])",
                     "search_string_count"),
    # One scan over the whole text, or one result list of 80 million items.
    "word parse": ("'a' * 800_000_000", "q.Word('a')", "parse_string"),
    "star parse": ("'a' * 800_000_000", "q.Regex('a*')", "parse_string"),
    "quoted": ("'\"' + 'a' * 600_000_000", "q.QuotedString('\"')", "parse_string"),
    "word items": ("'ab ' * 80_000_000", "q.Word('ab')", "search_string"),
    # Batches of long items whose UTF-8 form is still to be made: the bodies that read
    # their list in place, and one that holds its items.
    "encoded items": (ENCODED, "q.Literal('a')", "parse_batch"),
    "encoded items count": (ENCODED, "q.Keyword('a')", "parse_batch_count"),
    "encoded items held": (ENCODED, "q.Word('a')", "parse_batch"),
}


@pytest.mark.parametrize("big, grammar, method", LONG_WORK.values(), ids=LONG_WORK.keys())
def test_raising_handler_ends_long_work_soon(big, grammar, method):
    big = eval(big)
    call = getattr(eval(grammar), method)
    args = (big, "x") if method == "transform_string" else (big,)
    assert answer_time(lambda: call(*args)) < BOUND


# ---------------------------------------------------------------------------
# Answers over texts longer than a stretch, with runs that end at, just before and just
# after stretch ends.

def long_text():
    rng = random.Random(7)
    parts = []
    for run in (STRETCH - 1, STRETCH, STRETCH + 1, 2 * STRETCH - 2, 3 * STRETCH + 5):
        parts += ["a" * run, " ", "".join(rng.choice("ab é,;\n") for _ in range(3000))]
        parts += ["x" + "b" * rng.randrange(50) + ";" for _ in range(200)]
    return "".join(parts)


TEXT = long_text()
ALTERNATIVES = [f"c{i}d" for i in range(99)] + ["a+b?", "x[b]*;"]
SCANS = {
    "word": (q.Word("ab"), r"[ab]+"),
    "latin-1 word": (q.Word("aé"), r"[aé]+"),
    "class run": (q.Regex("x[a-z]*;"), r"x[a-z]*;"),
    "regex": (q.Regex("a+b?|;x"), r"a+b?|;x"),
    "many alternatives": (q.MatchFirst([q.Regex(p) for p in ALTERNATIVES]),
                          "|".join(ALTERNATIVES)),
}


@pytest.mark.parametrize("grammar, pattern", SCANS.values(), ids=SCANS.keys())
def test_long_scans_find_what_re_finds(grammar, pattern):
    found = re.findall(pattern, TEXT)
    assert grammar.search_string_count(TEXT) == len(found)
    assert grammar.search_string(TEXT) == [[m] for m in found]
    assert grammar.transform_string(TEXT, "-") == re.sub(pattern, "-", TEXT)


@pytest.mark.parametrize("run", [STRETCH - 2, STRETCH - 1, STRETCH, 3 * STRETCH + 1])
def test_long_matches_at_a_position(run):
    body = "a" * run
    assert q.Word("a").parse_string(body + " b") == [body]
    assert q.Regex("a*").parse_string(body + "b") == [body]
    assert (q.Literal("x") + q.rest_of_line()).parse_string("x" + body + "\nz") == ["x", body]
    assert q.QuotedString('"').parse_string(f'"{body}"') == [body]
    # An escaped quote on either side of a stretch's end.
    quoted = f'"{body}\\"b"'
    assert q.QuotedString('"', esc_char="\\").parse_string(quoted) == [body + '"b']
    assert q.QuotedString('"', esc_char="\\", unquote=False).parse_string(quoted) == [quoted]
    assert q.QuotedString('"').matches(f'"{body}') is False
    assert q.SkipTo(q.Literal("END")).parse_string(body + "END") == [body]
    assert q.SkipTo(q.Literal("END")).search_string_count(body + "EN") == 0
