"""Speed of quernlet's single-text operations against their nearest Python peers.

Run from the repository root:

    .venv/bin/python bench/bench.py            # everything (a few minutes)
    .venv/bin/python bench/bench.py --quick    # without the 50 MB inputs (32 MB ones at 4 MB)
    .venv/bin/python bench/bench.py -k Regex   # only cases whose name holds "Regex"

Each case runs one of our operations and its peer (str methods or `re`) on the
same input in the same run and prints both times and the ratio peer / ours
(higher is better), with the ratio aimed for where one is set. The results of
the two are compared too ("same" column) so that a fast wrong answer shows.
Nothing here asserts: timings depend on the machine and its load.
"""

import argparse
import ctypes
import gc
import os
import random
import re
import subprocess
import sys
import textwrap
import time
import timeit

import quernlet as q

MB = 1 << 20

# ---------------------------------------------------------------------------
# Inputs. Texts are assembled from a few distinct 64 KiB chunks in a seeded
# random order, so that they are large and cheap to build but repeat with no
# short period (which would let the counting shortcuts skip the scan).

RARE = "XYZZY"


def _syllable_words(rng, count, syllables):
    return ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 3))) for _ in range(count)]


def _source_chunk(rng):
    idents = _syllable_words(rng, 300, ["ba", "co", "de", "fi", "get", "set", "max", "len",
                                        "node", "item", "val", "idx", "buf", "_", "x", "tmp"])
    idents += ["self", "value", "result", "data", "count", "i", "j", "key", "parent"]
    out, size = [], 0
    while size < 64 * 1024:
        ind = "    " * rng.randrange(0, 4)
        a, b, c = rng.choice(idents), rng.choice(idents), rng.choice(idents)
        r = rng.random()
        if r < 0.15:
            line = f"{ind}if {a} == {rng.randrange(1000)} and not {b}:\n"
        elif r < 0.25:
            line = f"{ind}for {a} in range({b}, {rng.randrange(100)}):\n"
        elif r < 0.35:
            line = f"{ind}while {a} < {rng.random() * 100:.3f}:\n"
        elif r < 0.5:
            line = f'{ind}{a} = "{b} {c} {rng.randrange(10)}"\n'
        elif r < 0.75:
            line = f"{ind}{a} = {b}.{c}({a}, {rng.randrange(10 ** 6)}, {rng.random():.4f})\n"
        elif r < 0.85:
            line = f"{ind}return {a} + {b} * {rng.randrange(100)}\n"
        elif r < 0.95:
            line = f"{ind}# {' '.join(rng.choice(idents) for _ in range(rng.randint(3, 9)))}\n"
        else:
            line = f"\n{ind}def {a}({b}, {c}={rng.randrange(9)}):\n"
        out.append(line)
        size += len(line)
    return "".join(out)


PROSE_WORDS = (
    "le la les des une été déjà très où être forêt château naïve café über straße "
    "größe mädchen schön niño señor año corazón está acción καλημέρα λόγος θάλασσα "
    "ήλιος добрый день мир слово книга время and the of to in water light river stone"
).split()


def _sentences(rng, vocabulary, endings):
    out, size = [], 0
    while size < 64 * 1024:
        words = [rng.choice(vocabulary) for _ in range(rng.randint(5, 18))]
        words[0] = words[0].capitalize()
        sentence = " ".join(words) + rng.choice(endings)
        out.append(sentence)
        size += len(sentence.encode())
    return "".join(out)


def _prose_chunk(rng):
    return _sentences(rng, PROSE_WORDS, [". ", ". ", "; ", "! ", "? ", ".\n\n"])


CYRILLIC_WORDS = (
    "а и в не на я быть он с что а по это она этот к но они мы как из у который то за "
    "свой весь год от так о для ты же все тот мочь вы человек такой его сказать только "
    "или ещё бы себя один как уже до время если сам когда другой вот говорить наш мой "
    "знать стать при чтобы дело жизнь кто первый очень два день её новый рука даже во"
).split()


def _cyrillic_chunk(rng):
    return _sentences(rng, CYRILLIC_WORDS, [". ", ", ", "; ", ".\n"])


def _wide_chunk(rng):
    # Prose with typographic apostrophes and an emoji now and then: a text
    # the interpreter holds as 4-byte characters.
    out = _prose_chunk(rng).split(" ")
    for i in range(0, len(out), 7):
        out[i] = out[i] + rng.choice(["\u2019s", "\u2019", "n\u2019t", " \U0001F600"])
    return " ".join(out)


CHUNK_MAKERS = {"source": _source_chunk, "prose": _prose_chunk, "cyrillic": _cyrillic_chunk,
                "wide": _wide_chunk}


def build_text(kind, size, seed=1):
    rng = random.Random(seed)
    make = CHUNK_MAKERS[kind]
    chunks = [make(rng) for _ in range(12)]
    parts, total = [], 0
    while total < size:
        part = rng.choice(chunks)
        parts.append(part)
        total += len(part.encode())
    text = "".join(parts)
    # A few occurrences of the rare needle, spread out.
    pieces = [text[i * len(text) // 4:(i + 1) * len(text) // 4] for i in range(4)]
    return (" " + RARE + " ").join(pieces)


# ---------------------------------------------------------------------------
# Timing.

def best_time(fn, reps):
    """Best wall time of `reps` calls, and the first call's result."""
    best, first = float("inf"), None
    for i in range(reps):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        if i == 0:
            first = result
        del result
    return best, first


def best_time_fresh(fn, text, reps):
    """As best_time, each call given a fresh copy of `text` (made untimed)."""
    best, first = float("inf"), None
    for i in range(reps):
        arg = fresh(text)
        gc.collect()
        t0 = time.perf_counter()
        result = fn(arg)
        best = min(best, time.perf_counter() - t0)
        if i == 0:
            first = result
        del result, arg
    return best, first


def reps_for(size):
    return 2 if size >= 16 * MB else 10 if size >= MB else 50


def per_call(stmt, env):
    """Best time of one call of `stmt`, in seconds."""
    timer = timeit.Timer(stmt, globals=env)
    number, _ = timer.autorange()
    number = max(number, 20000)
    return min(timer.repeat(repeat=5, number=number)) / number


# ---------------------------------------------------------------------------
# Cases: (name, ours, peer, target, compare) where ours and peer take the text
# and compare maps each result to something comparable.

def count_of(x):
    return x if isinstance(x, int) else len(x)


def finditer_count(pattern):
    rx = re.compile(pattern)
    return lambda t: sum(1 for _ in rx.finditer(t))


def text_cases(kind):
    # The targets are set for ASCII source text; prose (non-ASCII, where the
    # peers work on the interpreter's own fixed-width form and we on UTF-8)
    # is shown for information.
    ascii_text = kind == "source"
    dense = "in" if ascii_text else "é"
    replacement = "IN" if ascii_text else "e"
    word = q.Word(q.alphas())
    words_rx = re.compile("[A-Za-z]+")
    cases = [
        (f"Literal({dense!r}).search_string_count dense", q.Literal(dense).search_string_count,
         lambda t: t.count(dense), 3.0 if ascii_text else None, count_of),
        (f"Literal({RARE!r}).search_string_count rare", q.Literal(RARE).search_string_count,
         lambda t: t.count(RARE), 5.0, count_of),
        (f"Literal({dense!r}).transform_string",
         lambda t: q.Literal(dense).transform_string(t, replacement),
         lambda t: t.replace(dense, replacement), 1.5 if ascii_text else None, lambda r: r),
        ("Word(alphas).search_string_count", word.search_string_count,
         lambda t: len(words_rx.findall(t)), 30.0, count_of),
        ("Word(alphas).search_string", word.search_string, words_rx.findall, 3.0,
         lambda r: [x[0] if isinstance(x, list) else x for x in r]),
        ("Word(alphas).transform_string", lambda t: word.transform_string(t, "X"),
         lambda t: words_rx.sub("X", t), 5.0, lambda r: r),
    ]
    if kind == "source":
        kw_rx = re.compile("if(?![A-Za-z0-9_])")
        cases.append(("Keyword('if').search_string_count", q.Keyword("if").search_string_count,
                      lambda t: len(kw_rx.findall(t)), 10.0, count_of))
        keywords = ["if", "for", "while", "return", "def", "class"]
        cases.append(("MatchFirst(6 Keywords).search_string_count",
                      q.MatchFirst([q.Keyword(k) for k in keywords]).search_string_count,
                      finditer_count(rf"\b(?:{'|'.join(keywords)})\b"), 3.0, count_of))
        for label, pattern, target in [
            ("identifier", r"[A-Za-z_][A-Za-z0-9_]*", 10.0),
            ("number", r"\d+(?:\.\d+)?", 2.0),
            ("keyword alternation", r"\b(?:if|for|while|return)\b", 2.0),
            ("double-quoted string", r'"[^"\n]*"', 5.0),
            ("rare literal prefix", RARE + r"\w*", 2.0),
        ]:
            cases.append((f"Regex {label}.search_string_count",
                          q.Regex(pattern).search_string_count, finditer_count(pattern), target,
                          count_of))
        ident = r"[A-Za-z_][A-Za-z0-9_]*"
        ident_rx = re.compile(ident)
        cases.append(("Regex identifier.search_string", q.Regex(ident).search_string,
                      ident_rx.findall, 1.0, lambda r: [x[0] if isinstance(x, list) else x
                                                        for x in r]))
        cases.append(("Regex identifier.transform_string",
                      lambda t: q.Regex(ident).transform_string(t, "ID"),
                      lambda t: ident_rx.sub("ID", t), 4.0, lambda r: r))
        cases.append(("Regex number.transform_string",
                      lambda t: q.Regex(r"\d+").transform_string(t, "N"),
                      lambda t: re.sub(r"\d+", "N", t), None, lambda r: r))
    else:
        # Sets with code points 128..255 are matched character by character.
        latin1 = "abcdefghijklmnopqrstuvwxyzéèêëàâäôöüçñß"
        cases.append(("Word(Latin-1 set).search_string_count",
                      q.Word(latin1).search_string_count,
                      lambda t: len(re.findall(f"[{latin1}]+", t)), None, count_of))
    return cases


# ---------------------------------------------------------------------------
# Outputs made from the caller's own str. "cold" runs every call on a fresh
# str (no UTF-8 form made yet), "warm" on one whose UTF-8 form the
# interpreter already keeps.

_utf8_of = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
_utf8_of.restype = ctypes.c_void_p
_utf8_of.argtypes = [ctypes.py_object, ctypes.c_void_p]


def warmed(text):
    """`text` with its UTF-8 form cached by the interpreter."""
    _utf8_of(text, None)
    return text


def fresh(text):
    """A new str equal to `text`, without a UTF-8 form."""
    return (text + "x")[:-1]


def output_cases():
    """(name, text kind, ours, peer, target, compare, temperatures)."""
    cyr_run = re.compile("[а-яё]+")
    q_cyr_run = q.Regex("[а-яё]+")
    lists = lambda r: [x[0] if isinstance(x, list) else x for x in r]
    same = lambda r: r
    return [
        ("Literal(' ').transform_string, same length", "source",
         lambda t: q.Literal(" ").transform_string(t, "_"), lambda t: t.replace(" ", "_"),
         1.5, same, ["warm"]),
        ("Literal(' ').transform_string, deleting", "source",
         lambda t: q.Literal(" ").transform_string(t, ""), lambda t: t.replace(" ", ""),
         1.5, same, ["warm"]),
        ("Literal('а').transform_string", "cyrillic",
         lambda t: q.Literal("а").transform_string(t, "a"), lambda t: t.replace("а", "a"),
         1.0, same, ["cold", "warm"]),
        ("Literal(';').transform_string", "prose",
         lambda t: q.Literal(";").transform_string(t, ","), lambda t: t.replace(";", ","),
         1.0, same, ["cold", "warm"]),
        ("Literal('\u2019').transform_string (4-byte str)", "wide",
         lambda t: q.Literal("\u2019").transform_string(t, "'"), lambda t: t.replace("\u2019", "'"),
         1.0, same, ["cold", "warm"]),
        ("Literal('а').search_string", "cyrillic", q.Literal("а").search_string,
         lambda t: re.findall("а", t), 1.0, lists, ["cold", "warm"]),
        ("Regex [а-яё]+ search_string", "cyrillic", q_cyr_run.search_string, cyr_run.findall,
         1.0, lists, ["cold", "warm"]),
        ("Word(alphas).transform_string", "prose",
         lambda t: q.Word(q.alphas()).transform_string(t, "X"),
         lambda t: re.sub("[A-Za-z]+", "X", t), 5.0, same, ["cold", "warm"]),
    ]


def peak_memory_of(code):
    """Peak resident memory (MiB) of a fresh interpreter running `code` after
    building the 50 MiB source text, less what it held before."""
    prog = textwrap.dedent(f"""
        import gc, re, resource, sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import bench, quernlet as q
        text = bench.build_text("source", 50 * bench.MB)
        gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = {code}
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(len(result), (after - before) // 1024)
    """)
    out = subprocess.run([sys.executable, "-c", prog], capture_output=True, text=True, check=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    count, mib = out.stdout.split()
    return int(count), int(mib)


def short_cases():
    lit_ws = r"[ \t\r\n]*"
    env = {
        "lit": q.Literal("hello"), "lit_rx": re.compile(f"{lit_ws}hello{lit_ws}"),
        "lit_match_rx": re.compile(f"{lit_ws}(hello)"),
        "word": q.Word(q.alphas()), "word_rx": re.compile(f"{lit_ws}[A-Za-z]+{lit_ws}"),
        "word_match_rx": re.compile(f"{lit_ws}([A-Za-z]+)"),
        "seq": q.Literal("let") + q.Word(q.alphas()) + q.Literal("="),
        "seq_rx": re.compile(f"{lit_ws}let{lit_ws}[A-Za-z]+{lit_ws}={lit_ws}"),
        "kw": q.Keyword("if"), "kw_rx": re.compile(f"{lit_ws}(if)(?![A-Za-z0-9_])"),
        "s_lit": "  hello ", "s_word": "  identifier ", "s_seq": "let x =", "s_kw": " if x",
        "rx_run": q.Regex("[A-Za-z]+"), "rx_gen": q.Regex("[a-z]+(?:_[a-z]+)*"),
        "s_snake": " snake_case_name ",
        "run_rx": re.compile(f"{lit_ws}[A-Za-z]+{lit_ws}"),
        "run_match_rx": re.compile(f"{lit_ws}([A-Za-z]+)"),
        "gen_rx": re.compile(f"{lit_ws}[a-z]+(?:_[a-z]+)*{lit_ws}"),
        "gen_match_rx": re.compile(f"{lit_ws}([a-z]+(?:_[a-z]+)*)"),
        # Not a class run, and every match starts with '@'.
        "rx_at": q.Regex(r"@[A-Za-z_]\w*(?:\.\w+)*"), "s_at": " @app.route ",
        "s_at_miss": " app.route ",
        "at_rx": re.compile(rf"{lit_ws}@[A-Za-z_]\w*(?:\.\w+)*{lit_ws}"),
        "at_match_rx": re.compile(rf"{lit_ws}(@[A-Za-z_]\w*(?:\.\w+)*)"),
        "cyr": q.Regex("[а-яё]+"), "cyr_rx": re.compile(f"{lit_ws}([а-яё]+)"),
        "s_cyr": "  привет, как дела",
        "lat": q.Regex("[a-zäöüß]+"), "lat_rx": re.compile(f"{lit_ws}([a-zäöüß]+)"),
        "s_lat": "  über straße",
    }
    return env, [
        ("Literal.matches", "lit.matches(s_lit)", "lit_rx.fullmatch(s_lit)", 3.0),
        ("Literal.parse_string", "lit.parse_string(s_lit)", "lit_match_rx.match(s_lit)", 3.0),
        ("Word.matches", "word.matches(s_word)", "word_rx.fullmatch(s_word)", 3.0),
        ("And(3 children).matches", "seq.matches(s_seq)", "seq_rx.fullmatch(s_seq)", 3.0),
        ("Word.parse_string", "word.parse_string(s_word)", "word_match_rx.match(s_word)", None),
        ("Keyword.parse_string", "kw.parse_string(s_kw)", "kw_rx.match(s_kw)", None),
        ("Regex(class run).matches", "rx_run.matches(s_word)", "run_rx.fullmatch(s_word)", 2.0),
        ("Regex(class run).parse_string", "rx_run.parse_string(s_word)",
         "run_match_rx.match(s_word)", 2.0),
        ("Regex(general).matches", "rx_gen.matches(s_snake)", "gen_rx.fullmatch(s_snake)", 2.0),
        ("Regex(general).parse_string", "rx_gen.parse_string(s_snake)",
         "gen_match_rx.match(s_snake)", 2.0),
        ("Regex(general, '@' start).matches", "rx_at.matches(s_at)", "at_rx.fullmatch(s_at)", 2.0),
        ("Regex(general, '@' start).matches miss", "rx_at.matches(s_at_miss)",
         "at_rx.fullmatch(s_at_miss)", 2.0),
        ("Regex(general, '@' start).parse_string", "rx_at.parse_string(s_at)",
         "at_match_rx.match(s_at)", 2.0),
        ("Regex non-ASCII.parse_string", "cyr.parse_string(s_cyr)",
         "cyr_rx.match(s_cyr).group(1)", 1.5),
        # a new str each call (the slice), so its UTF-8 form is made every time
        ("Regex non-ASCII.parse_string cold", "cyr.parse_string(s_cyr[1:])",
         "cyr_rx.match(s_cyr[1:]).group(1)", 1.5),
        ("Regex Latin-1.parse_string", "lat.parse_string(s_lat)",
         "lat_rx.match(s_lat).group(1)", 1.5),
    ]


def same_short(ours, peer):
    """Whether a matches/parse_string result agrees with the re peer's match."""
    if isinstance(ours, bool):
        return ours == (peer is not None)
    if isinstance(peer, str):  # the peer took the group itself
        return ours == [peer]
    return peer is not None and ours == [peer.group(1)]


def batch_cases():
    """(name, ours, peer, target, compare) over one list of 1 M distinct short strings."""
    rng = random.Random(3)
    letters = "abcdefghijklmnopqrstuvwxyz"
    items = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) +
             rng.choice(["", "", "_1", "X"]) for _ in range(1_000_000)]
    rx, ours = re.compile("[a-z]+"), q.Regex("[a-z]+")
    # Equal texts in objects of their own, each also held by a second list: none is then known
    # to stand at one position only, so every one goes through the identity map.
    shared = [(s + "\0")[:-1] for s in items]
    also = list(shared)
    return (items, shared, also), [
        ("Regex([a-z]+).parse_batch distinct", lambda: ours.parse_batch(items),
         lambda: [m.group() for s in items if (m := rx.match(s))], 2.0, lambda r: r),
        ("Regex([a-z]+).parse_batch distinct, held twice", lambda: ours.parse_batch(shared),
         lambda: [m.group() for s in shared if (m := rx.match(s))], 2.0, lambda r: r),
    ]


def skip_to_spans(text, target):
    """SkipTo(Literal(target)).search_string's texts, by str.find: the non-empty stretch from
    each start to the next target, the scan moving past each target by one."""
    out, p = [], 0
    while (k := text.find(target, p)) >= 0:
        if k > p:
            out.append(text[p:k])
        p = k + 1
    return out


def a_then_skip_to_x_count(text):
    """(Literal('a') + SkipTo(Literal('x'))).search_string_count by str.find; no later start
    can succeed once no 'x' follows."""
    count, p, ws = 0, 0, re.compile(r"[ \t\r\n]*")
    while (p := text.find("a", p)) >= 0:
        k = text.find("x", ws.match(text, p + 1).end())
        if k < 0:
            break
        count += 1
        p = max(p + 1, k)
    return count


SKIP_TO_CASES = ("SkipTo(Literal('x')).search_string", "(Literal('a')+SkipTo(x)).search_string_count")


def skip_to_cases():
    """(name, ours, peer, target, compare) over 2 MB without the target: unless the answers
    of earlier searches are kept, every start searches to the end of the text."""
    text = "a" * (2 * MB)
    skip, seq = q.SkipTo(q.Literal("x")), q.Literal("a") + q.SkipTo(q.Literal("x"))
    return text, [
        (SKIP_TO_CASES[0], lambda: skip.search_string(text), lambda: skip_to_spans(text, "x"),
         None, lambda r: [x[0] if isinstance(x, list) else x for x in r]),
        (SKIP_TO_CASES[1], lambda: seq.search_string_count(text),
         lambda: a_then_skip_to_x_count(text), None, count_of),
    ]


# ---------------------------------------------------------------------------

ROW = "{:<46} {:>12} {:>9} {:>9} {:>7} {:>6} {:>4} {:>6}"


def fmt_time(t):
    if t < 1e-6:
        return f"{t * 1e9:.0f} ns"
    if t < 1e-3:
        return f"{t * 1e6:.1f} us"
    if t < 1:
        return f"{t * 1e3:.1f} ms"
    return f"{t:.2f} s"


def verdict(ratio, target):
    if target is None:
        return "-"
    return "met" if ratio >= target else "MISSED"


def report(name, tag, ours, peer, same, target):
    """Prints one row (times in seconds); returns 1 when the row misses its target."""
    print(ROW.format(name, tag, fmt_time(ours), fmt_time(peer), f"{peer / ours:.2f}",
                     f"{target:g}" if target else "-", "yes" if same else "NO",
                     verdict(peer / ours, target)))
    return int(verdict(peer / ours, target) == "MISSED")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="skip the 50 MB inputs")
    ap.add_argument("-k", default="", help="only cases whose name contains this text")
    args = ap.parse_args()

    sizes = [("1 MB", MB)] + ([] if args.quick else [("50 MB", 50 * MB)])
    print(ROW.format("case", "input", "ours", "peer", "ratio", "target", "same", "result"))
    print("-" * 106)
    missed = 0
    started = time.perf_counter()

    env, cases = short_cases()
    for name, ours, peer, target in cases:
        if args.k not in name:
            continue
        a, b = per_call(ours, env), per_call(peer, env)
        missed += report(name, "short", a, b, same_short(eval(ours, env), eval(peer, env)), target)

    batch_names = ("Regex([a-z]+).parse_batch distinct",
                   "Regex([a-z]+).parse_batch distinct, held twice")
    for build, tag, names in ((batch_cases, "1 M items", batch_names),
                              (skip_to_cases, "2 MB", SKIP_TO_CASES)):
        if not any(args.k in name for name in names):
            continue
        data, cases = build()
        for name, ours, peer, target, compare in cases:
            if args.k not in name:
                continue
            a, ra = best_time(ours, 5)
            b, rb = best_time(peer, 5)
            missed += report(name, tag, a, b, compare(ra) == compare(rb), target)
            del ra, rb
        del data

    for kind in ("source", "prose"):
        for label, size in sizes:
            text = None
            for name, ours, peer, target, compare in text_cases(kind):
                if args.k not in name:
                    continue
                if text is None:
                    # Warm: the best of a few calls on one text would be a call on a
                    # warm text anyway; the outputs rows below time cold texts too.
                    text = warmed(build_text(kind, size))
                reps = reps_for(size)
                a, ra = best_time(lambda: ours(text), reps)
                b, rb = best_time(lambda: peer(text), reps)
                missed += report(name, f"{kind} {label}", a, b, compare(ra) == compare(rb), target)
                del ra, rb
            del text

    out_size = 4 * MB if args.quick else 32 * MB
    texts = {}
    for name, kind, ours, peer, target, compare, temperatures in output_cases():
        if args.k not in name:
            continue
        if kind not in texts:
            texts[kind] = build_text(kind, out_size)
        for temperature in temperatures:
            if temperature == "warm":
                text = warmed(texts[kind])
                a, ra = best_time(lambda: ours(text), 3)
                b, rb = best_time(lambda: peer(text), 3)
            else:
                a, ra = best_time_fresh(ours, texts[kind], 3)
                b, rb = best_time_fresh(peer, texts[kind], 3)
            tag = f"{kind} {out_size // MB} MB {temperature}"
            missed += report(name, tag, a, b, compare(ra) == compare(rb), target)
            del ra, rb
    del texts

    name = "Regex identifier.search_string peak memory"
    if not args.quick and args.k in name:
        ident = r"[A-Za-z_][A-Za-z0-9_]*"
        n_ours, ours_mib = peak_memory_of(f"q.Regex({ident!r}).search_string(text)")
        n_peer, peer_mib = peak_memory_of(f"re.findall({ident!r}, text)")
        ok = ours_mib <= peer_mib
        print(ROW.format(name, "source 50 MB", f"{ours_mib} MiB", f"{peer_mib} MiB",
                         f"{peer_mib / max(ours_mib, 1):.2f}", "<=", "yes" if n_ours == n_peer else "NO",
                         "met" if ok else "MISSED"))
        missed += not ok

    print("-" * 106)
    print(f"{missed} target(s) missed; total time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
