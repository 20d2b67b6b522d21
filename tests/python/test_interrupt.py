"""Long calls answer Ctrl-C and the exceptions of signal handlers."""

import contextlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quernlet as q

SLOW = os.environ.get("QUERNLET_SANITIZED") == "1"

# Each call runs for many seconds (minutes under the sanitizers): the first
# sequence child runs to the end of the text from every start, the second
# then fails.
SETUP = "seq = q.Word('a') + q.Word('b')\ntext = 'a' * 400_000\n"
LONG_CALLS = {
    "scan": "seq.search_string(text)",
    "count": "seq.search_string_count(text)",
    "transform": "seq.transform_string(text, 'x')",
    "regex count": "q.Regex('a(?:.*z)?').search_string_count(text)",
    # 64 distinct items in no order, more than any identity cache keeps, each
    # tested to its end: the generic, the sequence and the counting batches.
    "batch": "q.Group(seq).parse_batch(items)",
    "sequence batch": "seq.parse_batch(items)",
    "batch count": "seq.parse_batch_count(items)",
}
ITEMS = ("import random\n"
         "items = random.Random(1).choices([text[:20_000] + str(i) for i in range(64)], k=2_000_000)\n")


def run_interrupted(call):
    """Runs `call` in a child, sends SIGINT once it has started, and returns the child's
    exit status and error output."""
    code = "import quernlet as q\n" + SETUP + (ITEMS if "items" in call else "") + textwrap.dedent(
        f"""
        print("ready", flush=True)
        {call}
        print("finished", flush=True)
        """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=os.environ.copy())
    try:
        assert child.stdout.readline() == "ready\n"
        # Wait a little so that the call is under way, not still being looked up.
        time.sleep(0.2)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60 if SLOW else 10)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return child.returncode, out, err


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_ends_a_long_call(call):
    status, out, err = run_interrupted(call)
    assert "finished" not in out
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert status == -signal.SIGINT


class Alarm(Exception):
    pass


def with_alarm(handler, body):
    """Runs `body()` with `handler` on SIGALRM, which fires 50 ms after the start."""
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        return body()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def raise_alarm(signum, frame):
    raise Alarm


def test_give_up_for_lack_of_stack_and_interrupts():
    # A left-recursive alternative gives up at the first start, and every
    # later attempt then gives up at once: the text is long enough for the
    # scan over its starts to outlast the alarm.
    loop = q.Forward()
    loop <<= loop + q.Literal("a")
    grammar = q.MatchFirst([loop, q.Word("a") + q.Word("b")])
    plain = q.Forward()
    plain <<= q.Literal("a")
    nested = []

    def call_again(signum, frame):
        # A handler that uses the module during the scan sees none of the
        # scan's give-up, and the scan still reports it afterwards.
        nested.append(plain.parse_string("a"))

    with pytest.raises(RecursionError):
        with_alarm(call_again, lambda: grammar.search_string_count("a" * 20_000_000))
    assert nested == [["a"]]

    # An interrupted run's give-up is dropped with it: the handler's
    # exception is raised, and the next call starts clean.
    with pytest.raises(Alarm):
        with_alarm(raise_alarm, lambda: grammar.search_string_count("a" * 20_000_000))
    assert plain.parse_string("a") == ["a"]


@contextlib.contextmanager
def sigint_in(seconds):
    """Sends this process SIGINT `seconds` after entering, from another process (a thread of
    ours would wait for the call to give up the GIL); leaving waits for the sender."""
    sender = subprocess.Popen(f"sleep {seconds}; kill -INT {os.getpid()}", shell=True)
    try:
        yield
    finally:
        sender.wait()


# A sequence over long items that it matches or not by turns: a batch of many of them runs
# long, and no identity cache keeps 64 distinct objects.
BATCH_SEQ = q.Group(q.Word("a") + q.Word("b"))
BATCH_POOL = ["a" * 2000 + "bc"[i % 2] + str(i) for i in range(64)]


def test_batch_after_a_sigint_handler():
    seq = BATCH_SEQ
    items = random.Random(2).choices(BATCH_POOL, k=200_000)
    calls = []

    def shrink(signum, frame):
        # Runs while the batch is under way, which holds the list's items
        # borrowed; a handler that returns lets it start again on the list
        # as the handler left it.
        calls.append(signum)
        del items[1000:]

    old = signal.signal(signal.SIGINT, shrink)
    try:
        with sigint_in(0.05):
            result = seq.parse_batch(items)
        assert calls == [signal.SIGINT]
        assert result == seq.parse_batch(list(items)) and len(result) == 1000

        items[:] = random.Random(3).choices(BATCH_POOL, k=200_000)
        signal.signal(signal.SIGINT, raise_alarm)
        with sigint_in(0.05), pytest.raises(Alarm):
            seq.parse_batch_count(items)
    finally:
        signal.signal(signal.SIGINT, old)


# A grammar that backtracks exponentially: one parse of SLOW_TEXT, a single
# attempt, takes most of a minute.
BACKTRACKING = """
f = q.Forward()
f <<= q.MatchFirst([q.CaselessLiteral('a') + q.ZeroOrMore(f) + q.Combine(q.Word('a', ''))
                    + q.Optional(q.Literal('ß'))])
SLOW_TEXT = 'aaaa\\n' * 14 + 'a'
"""
SINGLE_ATTEMPTS = {
    "parse": "f.parse_string(SLOW_TEXT)",
    "count": "f.search_string_count(SLOW_TEXT)",
    "batch": "f.parse_batch(['aa', SLOW_TEXT])",
    "batch count": "f.parse_batch_count([SLOW_TEXT, 'aa'])",
}


# A signal handler that does `work()` and records each run in `ran`; a signal
# that comes while it runs is ignored, as the work may outlast a timer's period.
ONE_AT_A_TIME = """
ran = []
def one_at_a_time(work):
    busy = []
    def handler(signum, frame):
        if busy:
            return
        busy.append(signum)
        try:
            work()
        finally:
            busy.clear()
        ran.append(signum)
    return handler
"""


def run_child(body, interrupt):
    """Runs `body` in a child after BACKTRACKING and ONE_AT_A_TIME and returns its exit
    status, output and error output; with `interrupt`, sends SIGINT once the child prints
    "ready" (and waits a little), and also returns the seconds the child then took to end."""
    code = ("import quernlet as q, signal, sys\n" + BACKTRACKING + ONE_AT_A_TIME +
            textwrap.dedent(body))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=os.environ.copy())
    took = None
    try:
        if interrupt:
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            child.wait(timeout=60 if SLOW else 10)
            took = time.monotonic() - sent
        out, err = child.communicate(timeout=60 if SLOW else 10)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return child.returncode, out, err, took


@pytest.mark.parametrize("call", SINGLE_ATTEMPTS.values(), ids=SINGLE_ATTEMPTS.keys())
def test_ctrl_c_ends_a_single_long_attempt(call):
    status, out, err, took = run_child(f"""
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        # The thread is clean afterwards.
        print(f.parse_string('aa'), f.search_string_count('aa aa'), f.parse_batch(['aa', 'b']))
        """, interrupt=True)
    assert (status, out, err) == (0, "interrupted\n['a', 'a'] 2 [['a', 'a'], []]\n", "")
    assert took < (5 if SLOW else 1)


def test_handler_exception_ends_a_single_long_attempt():
    namespace = {"q": q}
    exec(BACKTRACKING, namespace)
    f, slow_text = namespace["f"], namespace["SLOW_TEXT"]
    nested = []

    def call_again_then_raise(signum, frame):
        # Within the attempt, and through the Forward it is inside.
        nested.append(f.parse_string("aa"))
        raise Alarm

    start = time.monotonic()
    with pytest.raises(Alarm):
        with_alarm(call_again_then_raise, lambda: f.parse_string(slow_text))
    assert time.monotonic() - start < (10 if SLOW else 1)
    assert nested == [["a", "a"]]


def test_forward_set_in_a_handler_within_a_match_raises():
    # The interrupted attempt holds f; setting it from the handler must not
    # wait for that attempt. Setting it afterwards works.
    status, out, err, _ = run_child("""
        def set_f(signum, frame):
            f.set(q.Literal('b'))
        signal.signal(signal.SIGALRM, set_f)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            f.parse_string(SLOW_TEXT)
        except RuntimeError as e:
            print("refused:", e)
        f <<= q.Literal('b')
        print(f.parse_string('b'))
        """, interrupt=False)
    assert status == 0, err
    assert out.startswith("refused: Forward.set") and out.endswith("\n['b']\n"), out


def test_batch_started_over_by_a_sigint_handler_answers_afresh():
    # The signal comes during the first item's long scan; the run that starts
    # over must find the target the abandoned one had not reached yet.
    grammar = q.SkipTo(q.Literal("x") + q.Literal("END"))
    items = ["x" * 80_000_000 + "END", "no target"]
    calls = []

    def with_sigint(call):
        calls.clear()
        with sigint_in(0.05):
            return call(items)

    old = signal.signal(signal.SIGINT, lambda signum, frame: calls.append(signum))
    try:
        # Token lengths only: the token is a slice of the item.
        result = with_sigint(grammar.parse_batch)
        assert calls == [signal.SIGINT]
        assert [[len(token) for token in tokens] for tokens in result] == [[len(items[0]) - 4], []]
        del result
        assert with_sigint(grammar.parse_batch_count) == 1
        assert calls == [signal.SIGINT]
    finally:
        signal.signal(signal.SIGINT, old)


def test_batch_runs_a_sigint_handler_behind_a_raising_one():
    # Another signal's handler, put off to the end of the batch, raises; a
    # Ctrl-C that comes meanwhile still has its handler run.
    items = random.Random(4).choices(BATCH_POOL, k=1_000_000)
    ran = []

    def record_then_raise(signum, frame):
        ran.append(signum)
        raise Alarm

    old = signal.signal(signal.SIGINT, lambda signum, frame: ran.append(signum))
    try:
        for call in (BATCH_SEQ.parse_batch, BATCH_SEQ.parse_batch_count):
            ran.clear()
            with sigint_in(0.1), pytest.raises(Alarm):
                with_alarm(record_then_raise, lambda: call(items))
            assert sorted(ran) == [signal.SIGINT, signal.SIGALRM]
    finally:
        signal.signal(signal.SIGINT, old)


def test_skip_to_sees_a_forward_set_between_attempts():
    # The first attempt scans to the one 'x' near the end, and later attempts
    # reuse what it found. A set made part-way through the call (from a thread
    # the handler waits for: a handler itself may not set it) must reach every
    # attempt after it. A costly alternative makes those later attempts, not
    # the first scan, take most of the call.
    status, out, err, _ = run_child("""
        import threading, time
        text = 'b!' * 1_500_000 + 'x?'
        fwd = q.Forward()
        fwd <<= q.Literal('x')
        grammar = q.Regex('[b!]{1,100}z') | q.SkipTo(fwd) + fwd + q.Literal('!')
        start = time.monotonic()
        print(grammar.search_string_count(text))
        took = time.monotonic() - start

        done = []
        def set_from_a_thread(signum, frame):
            thread = threading.Thread(target=fwd.set, args=(q.Literal('b'),))
            thread.start()
            thread.join()
            done.append(signum)
        signal.signal(signal.SIGALRM, set_from_a_thread)
        signal.setitimer(signal.ITIMER_REAL, took / 2)
        print(grammar.search_string_count(text) > 0, done == [signal.SIGALRM])
        """, interrupt=False)
    assert (status, out, err) == (0, "0\nTrue True\n", "")


def test_handler_needing_a_deep_stack_runs_during_a_deep_match():
    # A handler that recurses deeply in C, run every 0.1 ms while a match
    # nests as deep as it can: the match still gives up cleanly, and the
    # handler still runs.
    body = """
        nest = []
        for _ in range(3000):
            nest = [nest]
        F = q.Forward()
        F <<= q.Group(q.Suppress(q.Literal('(')) + q.Optional(F) + q.Suppress(q.Literal(')'))) | q.Word('a')
        text = '(' * 200_000 + 'a' + ')' * 200_000
        signal.signal(signal.SIGALRM, one_at_a_time(lambda: repr(nest)))
        signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
        outcomes = set()
        for _ in range(10):
            try:
                F.parse_string(text)
                outcomes.add('parsed')
            except RecursionError:
                outcomes.add('RecursionError')
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(outcomes, len(ran) > 0)
        """
    for _ in range(3):
        status, out, err, _ = run_child(body, interrupt=False)
        assert (status, out, err) == (0, "{'RecursionError'} True\n", "")


def test_handler_sees_only_whole_result_lists():
    # A handler that walks every long list while a scan builds its results
    # finds each one whole, and the results come out as without it.
    status, out, err, _ = run_child("""
        import gc
        F = q.Forward()
        F <<= q.Group(q.Suppress(q.Literal('(')) + q.ZeroOrMore(F) + q.Suppress(q.Literal(')'))) | q.Word('a')
        text = ('(' * 30 + 'a' + ')' * 30 + ' ') * 2000
        def walk_long_lists():
            for o in gc.get_objects():
                if isinstance(o, list) and len(o) > 1000:
                    list(o)
        signal.signal(signal.SIGALRM, one_at_a_time(walk_long_lists))
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        result = F.search_string(text)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(result), result == F.search_string(text), len(ran) > 0)
        """, interrupt=False)
    assert (status, out, err) == (0, "2000 True True\n", "")


# One attempt that is a single long repetition of one element, or one long
# SkipTo scan: each takes seconds uninterrupted.
LONG_MATCHES = {
    "repetition": ("'ab' * 20_000_000", "q.OneOrMore(q.Literal('ab')).parse_string(big)"),
    "group of regex": ("'ab' * 20_000_000", "q.Group(q.OneOrMore(q.Regex('ab'))).parse_string(big)"),
    "skip": ("'ab' * 100_000_000", "q.SkipTo(q.Regex('ab+c')).parse_string(big)"),
    "batch": ("'ab' * 20_000_000", "q.OneOrMore(q.Literal('ab')).parse_batch([big])"),
}


@pytest.mark.parametrize("big, call", LONG_MATCHES.values(), ids=LONG_MATCHES.keys())
def test_ctrl_c_ends_a_long_repetition_or_skip(big, call):
    status, out, err, took = run_child(f"""
        big = {big}
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """, interrupt=True)
    assert (status, out, err) == (0, "interrupted\n", "")
    assert took < (5 if SLOW else 1)
