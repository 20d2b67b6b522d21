"""Long calls answer Ctrl-C and signal handlers: wherever a call asks (between matches, every
few thousand steps of a match at any depth, between and within batch items), the pending
handlers run right there, each once per signal; one that returns lets the work go on where it
was, one that raises ends the call with its exception."""

import contextlib
import gc
import inspect
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
# Time bounds are multiplied by this under the sanitizers.
SCALE = 8 if SLOW else 1


def send_signals(names, after, count=1, every=0.0, pid=None):
    """Starts a process that, `after` seconds from now, sends the signals `names` (such as
    ["INT"]) to `pid` (default: this process), `count` times `every` seconds apart, and returns
    it. A thread of ours could not: it would wait for the call to give up the interpreter."""
    kills = "; ".join(f"kill -{name} {pid or os.getpid()}" for name in names)
    script = f"sleep {after}; {kills}"
    if count > 1:
        script += f"; for i in $(seq {count - 1}); do sleep {every}; {kills}; done"
    return subprocess.Popen(["sh", "-c", script])


@contextlib.contextmanager
def sigint_in(seconds):
    """Sends this process SIGINT `seconds` after entering; leaving waits for the sender."""
    sender = send_signals(["INT"], seconds)
    try:
        yield
    finally:
        sender.wait()


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm


def with_alarm(handler, body, seconds=0.05):
    """Runs `body()` with `handler` on SIGALRM, which fires `seconds` after the start."""
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        return body()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# --- Children -----------------------------------------------------------------------------

# A grammar that backtracks exponentially: each line of 'aaaa' makes an attempt about four
# times longer; one parse of SLOW_TEXT takes most of a minute. D is the same inside n
# parentheses: the slow work runs n levels deep.
BACKTRACKING = """
f = q.Forward()
f <<= q.MatchFirst([q.CaselessLiteral('a') + q.ZeroOrMore(f) + q.Combine(q.Word('a', ''))
                    + q.Optional(q.Literal('ß'))])
SLOW_TEXT = 'aaaa\\n' * 14 + 'a'
D = q.Forward()
D <<= q.Group(q.Suppress(q.Literal('(')) + D + q.Suppress(q.Literal(')'))) | f

def nested(n, lines):
    return '(' * n + 'aaaa\\n' * lines + 'a' + ')' * n
"""

# What every child starts with: the grammars and texts of the tests and their helpers.
PRELUDE = """
import os, random, signal, subprocess, sys, time
import quernlet as q

# A shell that started us in the background may have left SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

class Alarm(Exception):
    pass

def raise_alarm(signum, frame):
    raise Alarm
""" + BACKTRACKING + """
# A sequence over long items that it matches or not by turns; no identity cache keeps 64
# distinct objects, so a batch tests each item to its end.
SEQ = q.Group(q.Word('a') + q.Word('b'))
POOL = ['a' * 2000 + 'bc'[i % 2] + str(i) for i in range(64)]

def batch_items(k, seed=2):
    return random.Random(seed).choices(POOL, k=k)

# Forward.set refuses only in a handler that runs from within a match.
WITNESS = q.Forward()

def in_a_match():
    try:
        WITNESS.set(q.Literal('w'))
        return False
    except RuntimeError:
        return True

# Each run of a handler made by one_at_a_time(work): 'ok', or the name of what work() raised;
# and the same of the runs from within a match.
ran = []
ran_in_a_match = []

def one_at_a_time(work):
    # A signal that comes while the handler runs is ignored: the work may outlast a timer's
    # period.
    busy = []
    def handler(signum, frame):
        if busy:
            return
        busy.append(signum)
        try:
            work()
            outcome = 'ok'
        except Exception as e:
            outcome = type(e).__name__
        finally:
            busy.clear()
        ran.append(outcome)
        if in_a_match():
            ran_in_a_match.append(outcome)
    return handler
""" + inspect.getsource(send_signals)


def run_child(body, interrupt=False, setup=""):
    """Runs `body` after PRELUDE and `setup` in a child and returns its exit status, output,
    error output and, with `interrupt`, the time (time.monotonic) at which it was sent SIGINT:
    once it printed "ready" and a little after."""
    code = PRELUDE + setup + "\n" + textwrap.dedent(body)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=os.environ.copy())
    sent = None
    try:
        if interrupt:
            assert child.stdout.readline() == "ready\n"
            # Wait a little so that the call is under way, not still being looked up.
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
        out, err = child.communicate(timeout=60 * SCALE)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return child.returncode, out, err, sent


# --- Ctrl-C ends any long call --------------------------------------------------------------

# Each runs for seconds at least uninterrupted; the setup line runs before "ready".
SCANS = "seq = q.Word('a') + q.Word('b')\ntext = 'a' * 400_000"
LONG_ITEMS = ("seq = q.Word('a') + q.Word('b')\n"
              "items = random.Random(1).choices([POOL[0][:2000] * 10 + str(i) for i in range(64)],"
              " k=2_000_000)")
LONG_CALLS = {
    # The sequence's first child runs to the end of the text from every start, the second
    # then fails.
    "scan": (SCANS, "seq.search_string(text)"),
    "count": (SCANS, "seq.search_string_count(text)"),
    "transform": (SCANS, "seq.transform_string(text, 'x')"),
    # Each search of the pattern reads to the end of the text for a match of one character.
    "regex count": ("text = 'a' * 2_000_000", "q.Regex('a(?:.*z)?').search_string_count(text)"),
    "regex scan": ("text = 'a' * 2_000_000", "q.Regex('a(?:.*z)?').search_string(text)"),
    # The generic, the sequence and the counting batches.
    "batch": (LONG_ITEMS, "q.Group(seq).parse_batch(items)"),
    "sequence batch": (LONG_ITEMS, "seq.parse_batch(items)"),
    "batch count": (LONG_ITEMS, "seq.parse_batch_count(items)"),
    # A single attempt that backtracks, shallow or deep.
    "attempt": ("", "f.parse_string(SLOW_TEXT)"),
    "attempt count": ("", "f.search_string_count(SLOW_TEXT)"),
    "attempt batch": ("", "f.parse_batch(['aa', SLOW_TEXT])"),
    "attempt batch count": ("", "f.parse_batch_count([SLOW_TEXT, 'aa'])"),
    "deep attempt": ("", "D.parse_string(nested(1000, 14))"),
    "deep attempt batch": ("", "D.parse_batch([nested(1000, 14)])"),
    # One long repetition of one element, one long SkipTo scan.
    "repetition": ("big = 'ab' * 20_000_000", "q.OneOrMore(q.Literal('ab')).parse_string(big)"),
    "group of regex": ("big = 'ab' * 20_000_000",
                       "q.Group(q.OneOrMore(q.Regex('ab'))).parse_string(big)"),
    "skip": ("big = 'ab' * 100_000_000", "q.SkipTo(q.Regex('ab+c')).parse_string(big)"),
    "repetition batch": ("big = 'ab' * 20_000_000",
                         "q.OneOrMore(q.Literal('ab')).parse_batch([big])"),
}


@pytest.mark.parametrize("setup, call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_ends_a_long_call(setup, call):
    status, out, err, sent = run_child(f"""
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        # The thread is clean afterwards.
        print(f.parse_string('aa'), f.search_string_count('aa aa'), f.parse_batch(['aa', 'b']))
        """, interrupt=True, setup=setup)
    assert status == 0 and err == "", err
    first, second = out.splitlines()
    assert first.startswith("interrupted ")
    assert float(first.split()[1]) - sent < 0.5 * SCALE
    assert second == "['a', 'a'] 2 [['a', 'a'], []]"


# --- A handler that raises ends the call at once, at any depth --------------------------------

# Each takes seconds, most of it deep in a match or spread over many items.
RAISING_ALARM_CALLS = {
    "deep parse": "D.parse_string(nested(300, 12))",
    "deeper match test": "D.matches(nested(1000, 12))",
    "batch": "SEQ.parse_batch(items + items)",
    "batch count": "SEQ.parse_batch_count(items * 6)",
}


@pytest.mark.parametrize("call", RAISING_ALARM_CALLS.values(), ids=RAISING_ALARM_CALLS.keys())
def test_raising_handler_of_another_signal_ends_a_deep_call_or_batch(call):
    status, out, err, _ = run_child(f"""
        items = batch_items(300_000)
        signal.signal(signal.SIGALRM, raise_alarm)
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            {call}
            print("finished", time.monotonic() - start)
        except ValueError:
            print("failed", time.monotonic() - start)
        except Alarm:
            print("alarm", time.monotonic() - start)
        """)
    assert status == 0 and err == "", err
    word, took = out.split()
    assert word == "alarm" and float(took) < 0.2 + 0.3 * SCALE, out


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
    assert time.monotonic() - start < 0.5 * SCALE
    assert nested == [["a", "a"]]


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


# A sequence over long items that it matches or not by turns, as SEQ and POOL in children.
BATCH_SEQ = q.Group(q.Word("a") + q.Word("b"))
BATCH_POOL = ["a" * 2000 + "bc"[i % 2] + str(i) for i in range(64)]


def test_batch_runs_every_pending_handler_when_one_raises():
    # SIGALRM's handler raises and ends the batch; SIGINT's, sent with it, still runs once,
    # in the batch or right after it.
    items = random.Random(4).choices(BATCH_POOL, k=1_000_000)
    ran = []

    def record_then_raise(signum, frame):
        ran.append(signum)
        raise Alarm

    old_int = signal.signal(signal.SIGINT, lambda signum, frame: ran.append(signum))
    old_alrm = signal.signal(signal.SIGALRM, record_then_raise)
    # A collection in the middle of the batch runs the collector's callbacks (the test
    # runner has some), and a signal handler that runs within one of those has its
    # exception dropped there, by the interpreter; no collection, then.
    gc.disable()
    try:
        for call in (BATCH_SEQ.parse_batch, BATCH_SEQ.parse_batch_count):
            ran.clear()
            sender = send_signals(["ALRM", "INT"], 0.1)
            start = time.monotonic()
            try:
                with pytest.raises(Alarm):
                    call(items)
                assert time.monotonic() - start < 0.1 + 0.5 * SCALE
            finally:
                sender.wait()
            assert sorted(ran) == [signal.SIGINT, signal.SIGALRM]
    finally:
        gc.enable()
        signal.signal(signal.SIGINT, old_int)
        signal.signal(signal.SIGALRM, old_alrm)


# --- A handler that returns lets the call go on where it was ----------------------------------

# Each takes about half a second quiet: deep in a match, or over many batch items.
GOING_ON_CALLS = {
    "deep parse": "D.parse_string(nested(300, 10))",
    "batch": "SEQ.parse_batch(items)",
}


@pytest.mark.parametrize("call", GOING_ON_CALLS.values(), ids=GOING_ON_CALLS.keys())
def test_returning_handlers_let_the_call_go_on(call):
    # SIGINT every 0.1 s from outside for longer than the call may take, and SIGALRM every
    # 0.05 s from a timer: the call takes little longer than quiet (it would take until after
    # the last SIGINT if it started over on each), and every signal has its handler run once.
    status, out, err, _ = run_child(f"""
        items = batch_items(300_000)
        def work():
            try:
                return {call}
            except ValueError as e:
                return str(e)
        start = time.monotonic()
        expected = work()
        quiet = time.monotonic() - start
        got = {{signal.SIGINT: 0, signal.SIGALRM: 0}}
        def count(signum, frame):
            got[signum] += 1
        signal.signal(signal.SIGINT, count)
        signal.signal(signal.SIGALRM, count)
        sigints = int((2 * quiet + 0.5 * {SCALE}) / 0.1) + 2
        sender = send_signals(['INT'], 0.1, sigints, 0.1)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        start = time.monotonic()
        result = work()
        took = time.monotonic() - start
        signal.setitimer(signal.ITIMER_REAL, 0)
        alarms = got[signal.SIGALRM]
        sender.wait()
        print(result == expected, took < 2 * quiet + 0.5 * {SCALE}, f"{{quiet:.2f}} {{took:.2f}}")
        # Never more runs than signals; fewer only where a loaded machine let two signals
        # arrive before the first was answered, which merges them.
        print(sigints // 2 <= got[signal.SIGINT] <= sigints, alarms >= took / 0.05 / 2,
              got[signal.SIGINT], alarms, sigints)
        """)
    assert status == 0 and err == "", err
    assert out.startswith("True True ") and "\nTrue True " in out, out


def test_batch_works_on_the_items_it_was_given():
    # A handler that rewrites the list in the middle of the batch changes nothing in this
    # call's results, and its change stays in the list.
    items = random.Random(2).choices(BATCH_POOL, k=200_000)
    given = list(items)
    other = random.Random(3).choices(BATCH_POOL, k=1000)
    returned = []
    calls = []

    def rewrite(signum, frame):
        calls.append(bool(returned))
        items[:] = other

    old = signal.signal(signal.SIGINT, rewrite)
    try:
        with sigint_in(0.05):
            result = BATCH_SEQ.parse_batch(items)
            returned.append(True)
        assert calls == [False]
        assert items == other
        assert result == BATCH_SEQ.parse_batch(given)

        items[:] = given
        signal.signal(signal.SIGINT, raise_alarm)
        with sigint_in(0.05), pytest.raises(Alarm):
            BATCH_SEQ.parse_batch_count(items)
    finally:
        signal.signal(signal.SIGINT, old)


def test_skip_to_in_a_batch_with_a_handler_using_it_meanwhile():
    # The signal comes during the first item's long scan; the handler runs the same SkipTo on
    # a short text, and the scan it interrupted goes on to the target at the end: neither
    # takes an answer the other found.
    grammar = q.SkipTo(q.Literal("x") + q.Literal("END"))
    items = ["x" * 80_000_000 + "END", "no target"]
    calls = []

    def skip_meanwhile(signum, frame):
        calls.append(grammar.parse_string("yyxEND"))

    def with_sigint(call):
        calls.clear()
        with sigint_in(0.05):
            return call(items)

    old = signal.signal(signal.SIGINT, skip_meanwhile)
    try:
        # Token lengths only: the token is a slice of the item.
        result = with_sigint(grammar.parse_batch)
        assert calls == [["yy"]]
        assert [[len(token) for token in tokens] for tokens in result] == [[len(items[0]) - 4], []]
        del result
        assert with_sigint(grammar.parse_batch_count) == 1
        assert calls == [["yy"]]
    finally:
        signal.signal(signal.SIGINT, old)


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
        """)
    assert status == 0, err
    assert out.startswith("refused: Forward.set") and out.endswith("\n['b']\n"), out


def test_skip_to_sees_a_forward_set_between_attempts():
    # The first attempt scans to the one 'x' near the end, and later attempts
    # reuse what it found. A set made part-way through the call (from a thread
    # the handler waits for: a handler itself may not set it) must reach every
    # attempt after it. A costly alternative makes those later attempts, not
    # the first scan, take most of the call.
    status, out, err, _ = run_child("""
        import threading
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
        """)
    assert (status, out, err) == (0, "0\nTrue True\n", "")


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
        print(len(result), result == F.search_string(text), len(ran) > 0, set(ran))
        """)
    assert (status, out, err) == (0, "2000 True True {'ok'}\n", "")


# --- Each signal is answered once ---------------------------------------------------------

# Each takes about a second; one SIGINT comes 0.1 s in.
ONCE_CALLS = {
    "shallow parse": "f.parse_string('aaaa\\n' * 11 + 'a')",
    "deep parse": "D.parse_string(nested(300, 11))",
    "batch": "SEQ.parse_batch(items)",
}


@pytest.mark.parametrize("call", ONCE_CALLS.values(), ids=ONCE_CALLS.keys())
def test_one_sigint_writes_one_byte_to_the_wakeup_fd(call):
    status, out, err, _ = run_child(f"""
        import socket
        items = batch_items(300_000)
        reader, writer = socket.socketpair()
        reader.setblocking(False)
        writer.setblocking(False)
        signal.set_wakeup_fd(writer.fileno())
        returned = []
        calls = []
        signal.signal(signal.SIGINT, lambda signum, frame: calls.append(bool(returned)))
        sender = send_signals(['INT'], 0.1)
        try:
            {call}
        except ValueError:
            pass
        returned.append(True)
        sender.wait()
        print(calls, reader.recv(100))
        """)
    assert (status, out, err) == (0, "[False] b'\\x02'\n", "")


def test_asyncio_runs_its_sigint_callback_once_for_one_sigint():
    status, out, err, _ = run_child("""
        import asyncio
        async def main():
            called = []
            asyncio.get_running_loop().add_signal_handler(signal.SIGINT, called.append, 1)
            items = batch_items(300_000)
            sender = send_signals(['INT'], 0.1)
            SEQ.parse_batch(items)
            sender.wait()
            await asyncio.sleep(0.2)
            print(called)
        asyncio.run(main())
        """)
    assert (status, out, err) == (0, "[1]\n", "")


# --- Handlers and finalizers that need a deep stack, run deep in a match ----------------------

# Things a handler or finalizer may do that recurse deep in C: the repr of nested lists, their
# json and pickle forms, and a __repr__ that recurses through Python and C slots by turns.
# Each works where the call is made.
DEEP_WORK = """
import json, pickle
sys.setrecursionlimit(100_000)

def nest(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x

class Chain:
    def __init__(self, next):
        self.next = next
    def __repr__(self):
        return 'C' + repr([self.next])

def chain(depth):
    x = None
    for _ in range(depth):
        x = Chain(x)
    return x
"""


def test_handler_needing_a_deep_stack_runs_deep_in_a_match():
    # A handler that recurses deep in C, run every 0.1 s while matches nest 1000 deep: each
    # call ends as it would without it or with RecursionError, and the handler runs in the
    # matches (so deep: they spend nearly all their time at the bottom) and either works or
    # gets RecursionError.
    status, out, err, _ = run_child("""
        lists, lists_to_pickle, chained = nest(5000), nest(3000), chain(1500)
        def work():
            repr(lists)
            json.dumps(lists)
            pickle.dumps(lists_to_pickle)
            repr(chained)
        work()
        calls = [lambda: D.parse_string(nested(1000, 10)), lambda: D.matches(nested(1000, 10)),
                 lambda: D.parse_batch([nested(1000, 9), nested(1000, 9)])]
        def outcome(call):
            try:
                return repr(call())
            except (ValueError, RecursionError) as e:
                return type(e).__name__
        alone = [outcome(call) for call in calls]
        signal.signal(signal.SIGALRM, one_at_a_time(work))
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
        start = time.monotonic()
        outcomes = [outcome(call) for _ in range(2) for call in calls]
        took = time.monotonic() - start
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(all(o in (a, 'RecursionError') for o, a in zip(outcomes, alone * 2)),
              set(ran) <= {'ok', 'RecursionError'}, len(ran_in_a_match) >= took / 0.3,
              len(ran_in_a_match), len(ran), took)
        """, setup=DEEP_WORK)
    assert status == 0 and err == "", err
    assert out.startswith("True True True "), out


def test_handler_needing_a_deep_stack_runs_during_a_deep_match():
    # A handler that recurses deeply in C, run every millisecond while a match nests as deep
    # as it can: the match still gives up cleanly, and the handler runs in it, working or
    # getting RecursionError.
    body = """
        lists = nest(3000)
        F = q.Forward()
        F <<= q.Group(q.Suppress(q.Literal('(')) + q.Optional(F) + q.Suppress(q.Literal(')'))) | q.Word('a')
        text = '(' * 200_000 + 'a' + ')' * 200_000
        signal.signal(signal.SIGALRM, one_at_a_time(lambda: repr(lists)))
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        outcomes = set()
        for _ in range(10):
            try:
                F.parse_string(text)
                outcomes.add('parsed')
            except RecursionError:
                outcomes.add('RecursionError')
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(outcomes, set(ran) <= {'ok', 'RecursionError'}, len(ran_in_a_match) >= 3,
              len(ran_in_a_match), len(ran))
        """
    for _ in range(3):
        status, out, err, _ = run_child(body, setup=DEEP_WORK)
        assert status == 0 and err == "", err
        assert out.startswith("{'RecursionError'} True True "), out


def test_finalizer_needing_a_deep_stack_runs_deep_in_a_match_on_a_small_thread():
    # On a thread of 256 KiB, the collector runs in the middle of batches of matches nested
    # nearly as deep as the thread allows, and finalizes garbage whose finalizer needs most
    # of such a stack (and makes the next garbage): each finalizer works or gets
    # RecursionError, and the thread goes on.
    status, out, err, _ = run_child("""
        import gc, threading
        seen = set()
        results = []

        class Garbage:
            def __init__(self):
                self.me = self
            def __del__(self):
                if len(results) < 6:
                    Garbage()
                if in_a_match():
                    seen.add('in a match')
                try:
                    repr(lists)
                    seen.add('ok')
                except RecursionError:
                    seen.add('RecursionError')

        def deepest(lines):
            low, high = 1, 2000
            while low < high:
                mid = (low + high + 1) // 2
                try:
                    D.parse_string(nested(mid, lines))
                except ValueError:
                    low = mid
                except RecursionError:
                    high = mid - 1
            return low

        def run():
            global lists
            lists = nest(1200)
            repr(lists)
            depth = deepest(7) * 4 // 5
            # Distinct objects, so that each is matched.
            items = [(nested(depth, 7) + '\\x00')[:-1] for _ in range(40)]
            results.append(depth)
            gc.set_threshold(1)
            Garbage()
            for _ in range(5):
                results.append(D.parse_batch(items) == [[]] * 40)
            gc.set_threshold(700)

        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        gc.collect()
        print(results[1:] == [True] * 5, results[0] > 10, 'in a match' in seen, seen, results[0])
        """, setup=DEEP_WORK)
    assert status == 0 and err == "", err
    assert out.startswith("True True True "), out
