"""The native modules against the same classes as plain Python, in one process.

Every operation runs the same statement text against both sides, each in its
own namespace with the same inputs: the same `Crypto`, a storage directory of
its own (so both use the file layer), the same response objects.  Before any
timing, each operation is run once on both sides and the results compared, so
the two sides are known to do the same work.

Timing: rounds are interleaved (in each round every operation is timed on
both sides, the side that goes first alternating by round) and the table
shows the median per-call time over the rounds, less the cost of timeit's
empty loop.  The ratio is Python / native (above 1 means native is faster),
taken within each round and then the median over the rounds, with the range
of the middle half of those ratios beside it.

Each row is judged on what the native code can change.  A capture's time is
mostly work both sides must do the same way (urlparse through the module
global, awaiting the body), so each capture row has a floor timed in the
same rounds: a plain coroutine of the same call that does only that work.
Its ratio is each side's time above the floor, Python over native.  The I/O
rows make the same system calls on both sides; their goal is parity within
the noise of the measurement.

A third side, when `--compiled=DIR` names it (as `make bench` does), is the
same plain classes compiled ahead of time by mypyc into DIR (module
`plain_python_compiled`): the one-command alternative to the native modules.
It runs in the same rounds, and each row gets a second ratio, compiled over
native (above the floor for the captures), with goals of its own.

`bench/run.py WORD...` times only the operations whose label holds a WORD;
`--profiled` times them with cProfile's profiler enabled on every side.
The memory check at the end drives 100,000 captures over the six sections
and reads the resident set size around them.
"""

from __future__ import annotations

import asyncio
import cProfile
import gc
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path
from typing import NamedTuple
from urllib.parse import urlparse

sys.path.insert(0, str(Path(__file__).resolve().parent))

import plain_python  # noqa: E402
from tarnix.auth.storage.login_vault import LoginVault  # noqa: E402
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher  # noqa: E402

ROUNDS = 21
# Wall time of one measurement; the number of calls per measurement is fitted to it.
TARGET_SECONDS = 0.004
MEMORY_CAPTURES = 100_000

SERVICE = "https://www.sellersprite.com/v2/api"
PAYLOADS = {
    "frequency": {"data": [{"keyword": "k", "frequency": 1}]},
    "reverse_frequency": {"data": [{"keyword": "k", "frequency": 2, "asin": "B0"}]},
    "keyword_mining": {"data": {"items": [{"keyword": "k"}], "total": 1}},
    "keyword_reverse": {"data": {"items": [], "asin": "B01"}},
    "reverse_monthly": {"data": {"monthlyDto": [], "variations": []}},
    "reverse_stats": {"data": {"statDto": {}, "asin": "B01"}},
}
# A payload of the right envelope that fails each rule at its last condition.
MISSES = {
    "frequency": {"data": [{"keyword": "k"}, {"frequency": 1}, "x"]},
    "reverse_frequency": {"data": [{"keyword": "k"}, {"frequency": 1}, "x"]},
    "keyword_mining": {"data": {"items": {}}},
    "keyword_reverse": {"data": {"items": []}},
    "reverse_monthly": {"data": {"monthlyDto": []}},
    "reverse_stats": {"data": {"statDto": {}}},
}
FREQUENCY_100 = {"data": [{"keyword": f"k{i}"} for i in range(99)] + [{"keyword": "k", "frequency": 9}]}


class Response:
    """What the browser hands over: `url`, `status` and an async `json()`."""

    def __init__(self, url: str, payload: object, status: int = 200):
        self.url = url
        self.status = status
        self._payload = payload

    async def json(self):
        return self._payload


class NotJson(Response):
    """A response whose body is not JSON: an error page, say."""

    async def json(self):
        raise ValueError("Expecting value: line 1 column 1 (char 0)")


def drive(coroutine):
    """Runs a coroutine that never really suspends, without an event loop."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the capture suspended")


def refused(method, value):
    """A call the binding refuses; the result is the message."""
    try:
        method(value)
    except TypeError as error:
        return str(error)
    raise AssertionError("the binding accepted the value")


async def gathered(catcher, response, count):
    capture = catcher.capture_json_response
    await asyncio.gather(*[capture(response, section="keyword_mining", url_keyword="keyword-miner")
                           for _ in range(count)])
    return len(catcher.responses)


async def urlparse_only(response, *, section, url_keyword):
    """The least a refused capture does: a coroutine of the same call that only parses the URL."""
    urlparse(response.url)


async def urlparse_and_fetch(response, *, section, url_keyword):
    """The least a capture that fetches the body does: parse the URL, await the body."""
    urlparse(response.url)
    try:
        await response.json()
    except Exception:
        pass


def read_back(files):
    return {key: Path(path).read_text(encoding="utf-8") for key, path in files.items()}


# --- the two sides --------------------------------------------------------------


def side_namespace(module_vault, module_catcher, root: Path) -> dict:
    """The objects one side's statements run against."""
    catcher = module_catcher()
    for section, payload in PAYLOADS.items():
        drive(catcher.capture_json_response(Response(f"{SERVICE}/{section}", payload),
                                            section=section, url_keyword=section))
    vault = module_vault(root / "vault")
    vault.save_session("session-1", "user@example.com", "2030-01-01T00:00:00+00:00")
    vault.save_token("erp", "eyJhbGciOi.payload.signature", 3600)
    empty_vault = module_vault(root / "empty")
    return {
        "C": module_catcher,
        "V": module_vault,
        "c": catcher,
        "fresh": module_catcher(),
        "v": vault,
        "e": empty_vault,
        "record": vault.load(),
        "out": root / "out",
        "root": str(root),
        "drive": drive,
        "urlparse_only": urlparse_only,
        "urlparse_and_fetch": urlparse_and_fetch,
        "refused": refused,
        "read_back": read_back,
        "gathered": gathered,
        "asyncio": asyncio,
        "P": PAYLOADS,
        "M": MISSES,
        "F100": FREQUENCY_100,
        "other_domain": Response("https://sellersprite.com.evil.io/keyword-miner", PAYLOADS["keyword_mining"]),
        "keyword_miss": Response(f"{SERVICE}/keyword-miner", PAYLOADS["keyword_mining"]),
        "full": Response(f"{SERVICE}/keyword-miner?q=1", PAYLOADS["keyword_mining"]),
        "not_json": NotJson(f"{SERVICE}/keyword-miner?q=1", None),
    }


class Op(NamedTuple):
    label: str
    goal: float | None
    statement: str
    compared: str | None = None  # compared between the sides instead of the statement
    floor: str | None = None     # the shared work under it, timed in the same rounds
    # The compiled side's statement where the mypyc class differs in form
    # (a property is a getset descriptor there, without fget).
    for_compiled: str | None = None

    @property
    def compiled_goal(self) -> float | None:
        """Against the compiled classes: calls and the scan at least as fast,
        captures' own work 1.2 times as fast, I/O at parity."""
        if self.goal is None or any(word in self.label for word in COMPILED_NOT_JUDGED):
            return None
        if self.floor is not None:
            return 1.2
        return 1.0 if self.goal in (CALL, SCAN) else IO


CALL = 2.0
SCAN = 3.0
CAPTURE = 2.0   # above the floor
IO = 0.97       # parity within the noise
NONE = None

REFUSED_FLOOR = "drive(urlparse_only(other_domain, section='keyword_mining', url_keyword='keyword-miner'))"


def fetched_floor(response: str) -> str:
    return f"drive(urlparse_and_fetch({response}, section='keyword_mining', url_keyword='keyword-miner'))"


def operations():
    ops = [
        Op("get_payload, hit", CALL, "c.get_payload('keyword_mining')"),
        Op("get_payload, miss", CALL, "c.get_payload('unknown')"),
    ]
    for section in PAYLOADS:
        ops.append(Op(f"_matches_section_payload {section}, hit", CALL,
                      f"c._matches_section_payload('{section}', P['{section}'])"))
        ops.append(Op(f"_matches_section_payload {section}, miss", CALL,
                      f"c._matches_section_payload('{section}', M['{section}'])"))
    ops += [
        Op("_matches_section_payload frequency, 100 elements", SCAN,
           "c._matches_section_payload('frequency', F100)"),
        Op("capture_json_response, other domain", CAPTURE,
           "drive(c.capture_json_response(other_domain, section='keyword_mining', url_keyword='keyword-miner'))",
           floor=REFUSED_FLOOR),
        Op("capture_json_response, keyword miss", CAPTURE,
           "drive(c.capture_json_response(keyword_miss, section='keyword_mining', url_keyword='zzz'))",
           floor=REFUSED_FLOOR),
        Op("capture_json_response, full capture", CAPTURE,
           "drive(c.capture_json_response(full, section='keyword_mining', url_keyword='keyword-miner'))",
           floor=fetched_floor("full")),
        Op("capture_json_response, body not JSON", CAPTURE,
           "drive(c.capture_json_response(not_json, section='keyword_mining', url_keyword='keyword-miner'))",
           floor=fetched_floor("not_json")),
        Op("asyncio.run, 1,000 gathered captures (per run)", IO, "asyncio.run(gathered(c, full, 1000))"),
        Op("save_all, six sections", IO, "c.save_all(out)", "read_back(c.save_all(out))"),
        Op("LoginVault.load, session and one token", IO, "v.load()"),
        Op("LoginVault.save_session, same login", IO,
           "v.save_session('session-1', 'user@example.com', '2030-01-01T00:00:00+00:00')"),
        Op("LoginVault.save_token", IO, "v.save_token('erp', 'eyJhbGciOi.payload.signature', 3600)"),
        Op("LoginVault.remove_token, absent", IO, "v.remove_token('crm')"),
        Op("LoginVault.remove_token, present (with its save_token)", IO,
           "v.save_token('crm', 'jwt', 60); v.remove_token('crm')"),
        Op("binding error: remove_token(1)", CALL, "refused(v.remove_token, 1)"),
    ]
    # Each method through the instance and through the class.
    through = [
        ("SellerSpriteFeedCatcher.__init__", NONE, "fresh.__init__()", "C.__init__(fresh)", None),
        ("SellerSpriteFeedCatcher.capture_json_response", CAPTURE,
         "drive(c.capture_json_response(other_domain, section='frequency', url_keyword='x'))",
         "drive(C.capture_json_response(c, other_domain, section='frequency', url_keyword='x'))", REFUSED_FLOOR),
        ("SellerSpriteFeedCatcher._matches_section_payload", CALL,
         "c._matches_section_payload('reverse_stats', P['reverse_stats'])",
         "C._matches_section_payload(c, 'reverse_stats', P['reverse_stats'])", None),
        ("SellerSpriteFeedCatcher.get_payload", CALL, "c.get_payload('frequency')",
         "C.get_payload(c, 'frequency')", None),
        ("SellerSpriteFeedCatcher.save_all", IO, "c.save_all(out)", "C.save_all(c, out)", None),
        ("LoginVault.__init__", IO, "e.__init__(e.base_dir)", "V.__init__(e, e.base_dir)", None),
        ("LoginVault.base_dir", NONE, "v.base_dir", "V.base_dir.fget(v)", None),
        ("LoginVault.load", IO, "v.load()", "V.load(v)", None),
        ("LoginVault._save", IO, "v._save(record)", "V._save(v, record)", None),
        ("LoginVault.save_session", IO,
         "v.save_session('session-1', 'user@example.com', '2030-01-01T00:00:00+00:00')",
         "V.save_session(v, 'session-1', 'user@example.com', '2030-01-01T00:00:00+00:00')", None),
        ("LoginVault.save_token", IO, "v.save_token('erp', 'eyJhbGciOi.payload.signature', 3600)",
         "V.save_token(v, 'erp', 'eyJhbGciOi.payload.signature', 3600)", None),
        ("LoginVault.remove_token", IO, "v.remove_token('crm')", "V.remove_token(v, 'crm')", None),
        ("LoginVault.clear, empty store", IO, "e.clear()", "V.clear(e)", None),
    ]
    for name, goal, instance_call, class_call, floor in through:
        ops.append(Op(f"{name} via instance", goal, instance_call, floor=floor))
        ops.append(Op(f"{name} via class", goal, class_call, floor=floor,
                      for_compiled=class_call.replace(".fget(v)", ".__get__(v)")))
    return ops


def comparable(value, root: str):
    """A result without what legitimately differs: times of day and the side's own directory."""
    if isinstance(value, dict):
        return {key: comparable(item, root) for key, item in value.items()
                if key not in ("expires_at", "saved_at")}
    if isinstance(value, (str, Path)) and str(value).startswith(root):
        return str(value)[len(root):]
    return value


# Where the compiled classes give another result for the same work, so it is
# not compared: mypyc checks the annotated argument types itself, with its
# own message.
COMPILED_DIFFERS = ("binding error",)
# Where they do other work, so the row has no goal against them: a mypyc
# class runs __init__ from the type's call only, and `obj.__init__(...)`
# reaches object.__init__, which does nothing.
COMPILED_NOT_JUDGED = (".__init__ via",)


def check_same_results(ops, sides):
    """Each statement (or its stand-in) gives equal results on every side."""
    for op in ops:
        label = op.label
        results = []
        for name, namespace in sides:
            statement = op.compared or op.statement
            if name == "compiled":
                if any(word in label for word in COMPILED_DIFFERS):
                    continue
                statement = op.compared or op.for_compiled or op.statement
            *setup, last = statement.split("; ")
            for step in setup:
                exec(step, namespace)
            results.append((name, comparable(eval(last, namespace), namespace["root"])))
        for name, result in results[1:]:
            if result != results[0][1]:
                raise SystemExit(f"{label}: native gave {results[0][1]!r}, {name} gave {result!r}")


def fitted_number(timer: timeit.Timer) -> int:
    number = 1
    while True:
        seconds = timer.timeit(number)
        if seconds >= TARGET_SECONDS / 4 or number >= 1 << 20:
            return max(1, int(number * TARGET_SECONDS / max(seconds, 1e-9)))
        number *= 4


class Ratio(NamedTuple):
    median: float
    low: float   # the middle half of the paired ratios
    high: float


class Result(NamedTuple):
    ns: list[float]           # median per call of each side, in the order of the sides
    floor_ns: float | None
    ratios: list[Ratio]       # each other side over native


def paired_ratio(native_ns, other_ns, floors) -> Ratio:
    ratios = [(o - f) / (n - f) for n, o, f in zip(native_ns, other_ns, floors)]
    quartiles = statistics.quantiles(ratios, n=4)
    return Ratio(statistics.median(ratios), quartiles[0], quartiles[2])


def measure(ops, sides):
    """Per operation: median ns per call of each side (and of its floor), and
    the paired ratios of each other side over native.

    Each round times the sides (and the floor) back to back, so a ratio
    taken within the round cancels what drifts between rounds (disk
    write-back, other load); the table's ratio is the median of those paired
    ratios.  With a floor, the ratio is of each side's time above it.
    """
    python = dict(sides)["Python"]
    timers = []
    for op in ops:
        each = [timeit.Timer(op.for_compiled if name == "compiled" and op.for_compiled else op.statement,
                             globals=ns) for name, ns in sides]
        floor = timeit.Timer(op.floor, globals=python) if op.floor else None
        timers.append((each, floor))
    numbers = [max(fitted_number(timer) for timer in each) for each, _ in timers]
    empty = timeit.Timer("pass")
    samples = [[[] for _ in range(len(sides) + 1)] for _ in ops]
    for round_number in range(ROUNDS):
        loop_ns = empty.timeit(100_000) / 100_000 * 1e9
        # The side that goes first turns with the rounds.
        shift = round_number % len(sides)
        order = list(range(shift, len(sides))) + list(range(shift))
        for index, (each, floor) in enumerate(timers):
            for side in order:
                seconds = each[side].timeit(numbers[index])
                samples[index][side].append(seconds / numbers[index] * 1e9 - loop_ns)
            if floor is not None:
                samples[index][-1].append(floor.timeit(numbers[index]) / numbers[index] * 1e9 - loop_ns)
    results = []
    for *per_side, floor_ns in samples:
        floors = floor_ns or [0.0] * ROUNDS
        results.append(Result([statistics.median(ns) for ns in per_side],
                              statistics.median(floor_ns) if floor_ns else None,
                              [paired_ratio(per_side[0], other, floors) for other in per_side[1:]]))
    return results


# --- memory ---------------------------------------------------------------------


def resident_kib() -> int:
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


def memory_check(catcher_type) -> tuple[int, int, int, int, int]:
    catcher = catcher_type()
    responses = [(Response(f"{SERVICE}/{section}?page={i}", dict(payload)), section)
                 for i in range(10) for section, payload in PAYLOADS.items()]
    capture = catcher.capture_json_response
    for response, section in responses * 100:  # warm-up: allocator pools, caches
        drive(capture(response, section=section, url_keyword=section))
    gc.collect()
    before, blocks_before = resident_kib(), sys.getallocatedblocks()
    for n in range(MEMORY_CAPTURES):
        response, section = responses[n % len(responses)]
        drive(capture(response, section=section, url_keyword=section))
    gc.collect()
    after, blocks_after = resident_kib(), sys.getallocatedblocks()
    return len(catcher.responses), before, after, blocks_before, blocks_after


# --- output ---------------------------------------------------------------------


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def compiled_module(directory: str):
    """The plain classes as mypyc compiled them into `directory`: the
    extension alone, so no source beside it can be imported instead."""
    sys.path.insert(0, directory)
    try:
        import plain_python_compiled
    finally:
        sys.path.remove(directory)
    if not plain_python_compiled.__file__.endswith(".so"):
        raise SystemExit(f"{plain_python_compiled.__file__}: not the compiled module")
    return plain_python_compiled


def main() -> int:
    started = time.perf_counter()
    words = [arg for arg in sys.argv[1:] if not arg.startswith("--")]
    profiled = "--profiled" in sys.argv[1:]
    compiled_dir = next((arg.split("=", 1)[1] for arg in sys.argv[1:] if arg.startswith("--compiled=")), None)
    modules = [("native", sys.modules[LoginVault.__module__], sys.modules[SellerSpriteFeedCatcher.__module__]),
               ("Python", plain_python, plain_python)]
    if compiled_dir is not None:
        compiled = compiled_module(compiled_dir)
        modules.append(("compiled", compiled, compiled))
    root = Path(tempfile.mkdtemp(prefix="tarnix-bench-"))
    try:
        sides = [(name, side_namespace(vault.LoginVault, catcher.SellerSpriteFeedCatcher, root / name))
                 for name, vault, catcher in modules]
        ops = [op for op in operations() if not words or any(word in op.label for word in words)]
        check_same_results(ops, sides)
        load_before = os.getloadavg()
        profiler = cProfile.Profile()
        if profiled:
            profiler.enable()
        try:
            results = measure(ops, sides)
        finally:
            profiler.disable()
        load_after = os.getloadavg()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"machine: {machine()}")
    print(f"load average before/after: {load_before[0]:.2f} / {load_after[0]:.2f}; "
          f"{ROUNDS} interleaved rounds, medians, empty loop subtracted"
          + ("; cProfile's profiler enabled on every side" if profiled else ""))
    print("Py/native (and compiled/native) is the median of the ratios paired within each round (above the "
          "floor where one is given); 'middle half' is their interquartile range")
    if compiled_dir is None:
        print("no compiled side: `make bench` gives bench/run.py --compiled=DIR")
    print()
    width = max(len(op.label) for op in ops)
    names = [name for name, _ in sides]
    header = f"{'operation':<{width}}  " + "".join(f"{name + ' ns':>11}  " for name in names) + f"{'floor ns':>9}"
    for name in names[1:]:
        short = "Py" if name == "Python" else "comp"
        header += f"  {short + '/native':>11}  {'middle half':>11}  {'goal':<8}"
    print(header)
    print("-" * len(header))
    missed = []
    for op, result in zip(ops, results):
        floor = f"{result.floor_ns:9,.0f}" if result.floor_ns is not None else f"{'':9}"
        line = f"{op.label:<{width}}  " + "".join(f"{ns:11,.0f}  " for ns in result.ns) + floor
        for name, ratio, goal in zip(names[1:], result.ratios, (op.goal, op.compiled_goal)):
            verdict = "-"
            if goal is not None:
                verdict = f">= {goal:.2f}"
                if ratio.median < goal:
                    verdict += " MISSED"
                    missed.append(f"{op.label} (against {name}: {ratio.median:.2f}x, goal {goal:.2f}x)")
            line += f"  {ratio.median:10.2f}x  {ratio.low:5.2f}-{ratio.high:4.2f}x  {verdict:<8}"
        print(line.rstrip())
    print()
    print("floor: a plain coroutine of the same call doing only what every side must do the same way "
          "(urlparse of the URL, and awaiting the body where the capture fetches it)")
    if compiled_dir is not None:
        print("compiled: the __init__ rows have no goal (a mypyc class's __init__ called again does nothing); "
              "the binding error's message is mypyc's own")
    print()

    for name, _, catcher_module in modules:
        catcher_type = catcher_module.SellerSpriteFeedCatcher
        records, before, after, blocks_before, blocks_after = memory_check(catcher_type)
        print(f"memory, {name}: {MEMORY_CAPTURES:,} captures over six sections -> {records} records; "
              f"RSS {before:,} -> {after:,} KiB ({after - before:+,} KiB); "
              f"allocated blocks {blocks_before:,} -> {blocks_after:,} ({blocks_after - blocks_before:+,})")
    print()
    with_goal = sum(goal is not None for op in ops for goal in (op.goal, op.compiled_goal)[:len(sides) - 1])
    print(f"goals: {with_goal - len(missed)} of {with_goal} met ({time.perf_counter() - started:.0f} s)")
    for label in missed:
        print(f"  missed: {label}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
