"""Long calls answer Ctrl-C and the exceptions of signal handlers."""

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


def test_batch_after_a_sigint_handler():
    seq = q.Group(q.Word("a") + q.Word("b"))
    pool = ["a" * 2000 + "bc"[i % 2] + str(i) for i in range(64)]
    items = random.Random(2).choices(pool, k=200_000)
    calls = []

    def shrink(signum, frame):
        # Runs while the batch is under way, which holds the list's items
        # borrowed; a handler that returns lets it start again on the list
        # as the handler left it.
        calls.append(signum)
        del items[1000:]

    senders = []

    def send_sigint():
        # From another process: a thread of ours would wait for the call to
        # give up the GIL.
        senders.append(subprocess.Popen(f"sleep 0.05; kill -INT {os.getpid()}", shell=True))

    old = signal.signal(signal.SIGINT, shrink)
    try:
        send_sigint()
        result = seq.parse_batch(items)
        senders[-1].wait()
        assert calls == [signal.SIGINT]
        assert result == seq.parse_batch(list(items)) and len(result) == 1000

        items[:] = random.Random(3).choices(pool, k=200_000)
        signal.signal(signal.SIGINT, raise_alarm)
        send_sigint()
        with pytest.raises(Alarm):
            seq.parse_batch_count(items)
    finally:
        for sender in senders:
            sender.wait()
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


def run_child(body, interrupt):
    """Runs `body` in a child after BACKTRACKING and returns its exit status, output and
    error output; with `interrupt`, sends SIGINT once the child prints "ready" (and waits a
    little), and also returns the seconds the child then took to end."""
    code = "import quernlet as q, signal, sys\n" + BACKTRACKING + textwrap.dedent(body)
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
