"""Speed of whole grammars: a JSON-like one and an INI-style configuration one.

Each grammar is run on small documents in a loop and on texts of a few MiB, and
compared in the same run with

- the standard library's reader of the same format (`json.loads`,
  `configparser`), which decodes values too and is shown for reference, and
- the same grammar written for lark's LALR parser, with a transformer that
  builds the same nested lists as quernlet.

Every peer's result is turned into quernlet's nested lists and checked equal
("same" column). For the large texts the peak memory of each call (the rise of
the process's peak resident size while the call runs, its result included) is
shown too, each measured in a fresh process.

lark is not a dependency of quernlet or of its tests. Install it into an
environment of the benchmark's own, from the repository root:

    .venv/bin/python -m venv .venv-bench
    .venv-bench/bin/pip install lark
    PYTHONPATH=.venv/lib/python3.13/site-packages .venv-bench/bin/python bench/grammar.py

(PYTHONPATH names where scripts/demo.sh or scripts/test.sh installed the module;
any build of it will do). Without lark the lark rows are left out. `--quick` skips
the large texts; `-k TEXT` keeps only the cases whose name holds TEXT.
Nothing here asserts: timings depend on the machine and its load.
"""

import argparse
import configparser
import gc
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import timeit

import quernlet as q
from bench import best_time, fmt_time

try:
    import lark
except ImportError:  # the lark rows are optional
    lark = None

MiB = 1 << 20

# ---------------------------------------------------------------------------
# The JSON-like grammar. An object becomes a list of [key, value] pairs, an
# array a list of its values; strings lose their quotes and their escapes,
# numbers and the three words stay as they are written.

NUMBER = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?"


def quernlet_json():
    def sym(c):
        return q.Suppress(q.Literal(c))

    value = q.Forward()
    string = q.QuotedString('"', esc_char="\\")
    number = q.Regex(NUMBER)
    member = q.Group(string + sym(":") + value)
    members = q.Optional(member + q.ZeroOrMore(sym(",") + member))
    obj = q.Group(sym("{") + members + sym("}"))
    items = q.Optional(value + q.ZeroOrMore(sym(",") + value))
    array = q.Group(sym("[") + items + sym("]"))
    value <<= (string | number | obj | array | q.Keyword("true") | q.Keyword("false")
               | q.Keyword("null"))
    return value + q.StringEnd()


LARK_JSON = r"""
?start: value
?value: object | array | string | NUMBER -> number
      | "true" -> true | "false" -> false | "null" -> null
array: "[" (value ("," value)*)? "]"
object: "{" (pair ("," pair)*)? "}"
pair: STRING ":" value
string: STRING
STRING: /"(?:[^"\\]|\\.)*"/
NUMBER: /-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?/
%ignore /[ \t\r\n]+/
"""

_ESCAPE = re.compile(r"\\(.)", re.S)


def _unquote(token):
    return _ESCAPE.sub(r"\1", token[1:-1])


def lark_json():
    class ToLists(lark.Transformer):
        def array(self, items):
            return list(items)

        def object(self, items):
            return list(items)

        def pair(self, kv):
            return [_unquote(kv[0]), kv[1]]

        def string(self, s):
            return _unquote(s[0])

        def number(self, n):
            return str(n[0])

        def true(self, _):
            return "true"

        def false(self, _):
            return "false"

        def null(self, _):
            return "null"

    parser = lark.Lark(LARK_JSON, parser="lalr", transformer=ToLists())
    return lambda text: [parser.parse(text)]


def json_as_lists(text):
    """json.loads, its result recast as the grammar's lists."""
    def recast(v):
        if isinstance(v, dict):
            return [[k, recast(x)] for k, x in v.items()]
        if isinstance(v, list):
            return [recast(x) for x in v]
        if v is True:
            return "true"
        if v is False:
            return "false"
        if v is None:
            return "null"
        return v if isinstance(v, str) else repr(v)

    return [recast(json.loads(text))]


# Documents: nested records of a web API's kind. Strings carry escaped quotes
# and backslashes now and then, and non-ASCII letters; numbers are written as
# Python writes them, so that json's decoded values read back to the same text.

WORDS = ("id name title value count price status active tags items user email city "
         "été naïve Zürich straße καλή мир 東京 emoji😀 a\"quoted\" back\\slash").split()


def _json_value(rng, depth):
    r = rng.random()
    if depth <= 0 or r < 0.45:
        r = rng.random()
        if r < 0.45:
            return rng.choice(WORDS) + " " + rng.choice(WORDS)
        if r < 0.7:
            return rng.randrange(-1000, 100000)
        if r < 0.85:
            return round(rng.uniform(-1000, 1000), rng.randrange(1, 5))
        return rng.choice([True, False, None])
    if r < 0.75:
        return {f"{rng.choice(WORDS)}_{i}": _json_value(rng, depth - 1)
                for i in range(rng.randint(0, 6))}
    return [_json_value(rng, depth - 1) for _ in range(rng.randint(0, 6))]


def json_document(size, seed=1):
    rng = random.Random(seed)
    records, total = [], 0
    while total < size:
        record = {"id": len(records), "name": rng.choice(WORDS),
                  "attributes": _json_value(rng, 3), "scores": [_json_value(rng, 0)
                                                                for _ in range(4)]}
        records.append(record)
        total += len(json.dumps(record, ensure_ascii=False)) + 8
    return json.dumps({"records": records}, ensure_ascii=False)


# ---------------------------------------------------------------------------
# The INI-style grammar: `[section]` headers, `key = value` lines and comments
# starting with `#` or `;`. A section becomes [name, [key, value], ...]; values
# run to the end of their line, without surrounding blanks.

SECTION_NAME = r"[^\]\n]+"
KEY = r"[A-Za-z0-9_.\-]+"
VALUE = r"\S(?:[^\n]*\S)?"
COMMENT = r"[#;][^\n]*"


def quernlet_ini():
    comment = q.Suppress(q.Regex(COMMENT))
    entry = q.Group(q.Regex(KEY) + q.Suppress(q.Literal("=")) + q.Regex(VALUE))
    section = q.Group(q.Suppress(q.Literal("[")) + q.Regex(SECTION_NAME)
                      + q.Suppress(q.Literal("]")) + q.ZeroOrMore(entry | comment))
    return q.ZeroOrMore(comment) + q.ZeroOrMore(section) + q.StringEnd()


LARK_INI = rf"""
start: section*
section: "[" NAME "]" entry*
entry: KEY "=" VALUE
NAME: /{SECTION_NAME}/
KEY: /{KEY}/
VALUE: /{VALUE}/
COMMENT: /{COMMENT}/
%ignore COMMENT
%ignore /[ \t\r\n]+/
"""


def lark_ini():
    class ToLists(lark.Transformer):
        def start(self, sections):
            return list(sections)

        def section(self, parts):
            return [str(parts[0])] + parts[1:]

        def entry(self, kv):
            return [str(kv[0]), str(kv[1])]

    parser = lark.Lark(LARK_INI, parser="lalr", transformer=ToLists())
    return parser.parse


def configparser_as_lists(text):
    """configparser, its result recast as the grammar's lists."""
    cp = configparser.ConfigParser(interpolation=None, strict=True,
                                   comment_prefixes=("#", ";"))
    cp.optionxform = str
    cp.read_string(text)
    return [[name] + [[k, v] for k, v in cp[name].items()] for name in cp.sections()]


INI_KEYS = ("host port user password timeout retries path level format enabled "
            "max_size cache.dir log-file name url region pool threads").split()


def ini_document(size, seed=1):
    rng = random.Random(seed)
    out, total, n = [], 0, 0
    while total < size:
        lines = []
        if rng.random() < 0.3:
            lines.append(rng.choice("#;") + " " + " ".join(rng.sample(WORDS, 4)))
        lines.append(f"[{rng.choice(WORDS)} {n}]")
        for key in rng.sample(INI_KEYS, rng.randint(2, 10)):
            r = rng.random()
            if r < 0.3:
                value = str(rng.randrange(100000))
            elif r < 0.5:
                value = rng.choice(["on", "off", "true", "false"])
            else:
                value = "/".join(rng.sample(WORDS, rng.randint(1, 4)))
            lines.append(f"{key} = {value}" if rng.random() < 0.8 else f"{key}={value}")
            if rng.random() < 0.1:
                lines.append("; " + rng.choice(WORDS))
        block = "\n".join(lines) + "\n\n"
        out.append(block)
        total += len(block.encode())
        n += 1
    return "".join(out)


# ---------------------------------------------------------------------------
# Measuring.

def _vm_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def _peak_child(grammar, peer_name, path):
    """In a fresh process: one call of the named parser on the text in `path`;
    prints the rise of the peak resident size above the size before the call."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for name, _, ours, peers in grammars():
        if name == grammar:
            fn = ours if peer_name == "quernlet" else dict((n, p) for n, p, _ in peers)[peer_name]
    gc.collect()
    before = _vm_kib("VmRSS:")
    result = fn(text)
    print((_vm_kib("VmHWM:") - before) / 1024)
    del result


def peak_rise_mib(grammar, peer_name, path):
    """Peak memory of one call (its result included), measured in a fresh
    process so that memory freed earlier in this one cannot hide it."""
    out = subprocess.run([sys.executable, __file__, "--peak-of", grammar, peer_name, path],
                         capture_output=True, text=True, check=True)
    return float(out.stdout)


def paired_times(ours, peer, large, peer_rounds=5, rounds=5):
    """Best time of one call of each, in seconds. The two are timed in
    alternation, so that a change in the machine's load meets both alike:
    single calls for large texts, calls in a loop for small ones."""
    if large:
        best = [float("inf"), float("inf")]
        for i in range(max(rounds, peer_rounds)):
            for k, (fn, n) in enumerate([(ours, rounds), (peer, peer_rounds)]):
                if i < n:
                    best[k] = min(best[k], best_time(fn, 1)[0])
        return best
    timers = [timeit.Timer(ours), timeit.Timer(peer)]
    numbers = [t.autorange()[0] for t in timers]
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for k, (t, n) in enumerate(zip(timers, numbers)):
            best[k] = min(best[k], t.timeit(n) / n)
    return best


ROW = "{:<34} {:>10} {:>9} {:>9} {:>8} {:>6} {:>5} {:>9} {:>9}"


def fmt_mib(m):
    return "-" if m is None else f"{m:.0f} MiB"


def grammars():
    """(name, make document, ours, [(peer name, peer, goal)])"""
    json_peers = [("json.loads", json_as_lists, 1.0)]
    ini_peers = [("configparser", configparser_as_lists, None)]
    if lark is not None:
        json_peers.append(("lark LALR", lark_json(), 50.0))
        ini_peers.append(("lark LALR", lark_ini(), None))
    return [
        ("JSON-like", json_document, quernlet_json().parse_string, json_peers),
        ("INI", ini_document, quernlet_ini().parse_string, ini_peers),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="skip the large texts")
    ap.add_argument("-k", default="", help="only cases whose name contains this text")
    ap.add_argument("--peak-of", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peak_of:
        _peak_child(*args.peak_of)
        return 0
    path = os.path.join(tempfile.mkdtemp(prefix="quernlet-bench-"), "text")

    sizes = [("small", 400), ("8 KiB", 8 << 10)]
    if not args.quick:
        sizes.append(("4 MiB", 4 * MiB))
    if lark is None:
        print("(lark is not installed here: its rows are left out; see --help)")
    print(ROW.format("case", "input", "ours", "peer", "ratio", "goal", "same", "mem ours",
                     "mem peer"))
    print("-" * 108)
    for name, make, ours, peers in grammars():
        for label, size in sizes:
            text = make(size)
            tag = f"{label} ({len(text.encode()) / 1024:.0f} KiB)" if size > 400 else label
            mine = ours(text)
            large = size >= MiB
            if large:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
            mem_ours = peak_rise_mib(name, "quernlet", path) if large else None
            for peer_name, peer, goal in peers:
                case = f"{name} vs {peer_name}"
                if args.k not in case:
                    continue
                theirs = peer(text)
                same = "yes" if theirs == mine else "NO"
                del theirs
                t_ours, t_peer = paired_times(lambda: ours(text), lambda: peer(text), large,
                                              2 if "lark" in peer_name else 5)
                mem_peer = peak_rise_mib(name, peer_name, path) if large else None
                ratio = t_peer / t_ours
                verdict = "-" if goal is None else f"{goal:g}" + ("" if ratio >= goal else "!")
                print(ROW.format(case, tag, fmt_time(t_ours), fmt_time(t_peer), f"{ratio:.2f}",
                                 verdict, same, fmt_mib(mem_ours), fmt_mib(mem_peer)),
                      flush=True)
            del mine, text
    if os.path.exists(path):
        os.remove(path)
    os.rmdir(os.path.dirname(path))
    print("-" * 108)
    print("ratio = peer time / ours (higher is better); '!' marks a goal not met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
