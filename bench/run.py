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

`bench/run.py WORD...` times only the operations whose label holds a WORD;
`--profiled` times them with cProfile's profiler enabled on both sides.
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
        ops.append(Op(f"{name} via class", goal, class_call, floor=floor))
    return ops


def comparable(value, root: str):
    """A result without what legitimately differs: times of day and the side's own directory."""
    if isinstance(value, dict):
        return {key: comparable(item, root) for key, item in value.items()
                if key not in ("expires_at", "saved_at")}
    if isinstance(value, (str, Path)) and str(value).startswith(root):
        return str(value)[len(root):]
    return value


def check_same_results(ops, native, python):
    """Each statement (or its stand-in) gives equal results on both sides."""
    for op in ops:
        label, statement = op.label, op.compared or op.statement
        results = []
        for namespace in (native, python):
            *setup, last = statement.split("; ")
            for step in setup:
                exec(step, namespace)
            results.append(comparable(eval(last, namespace), namespace["root"]))
        if results[0] != results[1]:
            raise SystemExit(f"{label}: native gave {results[0]!r}, Python gave {results[1]!r}")


def fitted_number(timer: timeit.Timer) -> int:
    number = 1
    while True:
        seconds = timer.timeit(number)
        if seconds >= TARGET_SECONDS / 4 or number >= 1 << 20:
            return max(1, int(number * TARGET_SECONDS / max(seconds, 1e-9)))
        number *= 4


def measure(ops, native, python):
    """Per operation: median ns per call of each side (and of its floor), and
    the paired ratios.

    Each round times the two sides (and the floor) back to back, so a ratio
    taken within the round cancels what drifts between rounds (disk
    write-back, other load); the table's ratio is the median of those paired
    ratios.  With a floor, the ratio is of each side's time above it.
    """
    timers = []
    for op in ops:
        pair = [timeit.Timer(op.statement, globals=ns) for ns in (native, python)]
        floor = timeit.Timer(op.floor, globals=python) if op.floor else None
        timers.append((pair, floor))
    numbers = [max(fitted_number(pair[0]), fitted_number(pair[1])) for pair, _ in timers]
    empty = timeit.Timer("pass")
    samples = [([], [], []) for _ in ops]
    for round_number in range(ROUNDS):
        loop_ns = empty.timeit(100_000) / 100_000 * 1e9
        order = (0, 1) if round_number % 2 == 0 else (1, 0)
        for index, (pair, floor) in enumerate(timers):
            for side in order:
                seconds = pair[side].timeit(numbers[index])
                samples[index][side].append(seconds / numbers[index] * 1e9 - loop_ns)
            if floor is not None:
                samples[index][2].append(floor.timeit(numbers[index]) / numbers[index] * 1e9 - loop_ns)
    results = []
    for native_ns, python_ns, floor_ns in samples:
        floors = floor_ns or [0.0] * len(native_ns)
        ratios = [(p - f) / (n - f) for n, p, f in zip(native_ns, python_ns, floors)]
        quartiles = statistics.quantiles(ratios, n=4)
        results.append((statistics.median(native_ns), statistics.median(python_ns),
                        statistics.median(floor_ns) if floor_ns else None,
                        statistics.median(ratios), quartiles[0], quartiles[2]))
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


def main() -> int:
    started = time.perf_counter()
    words = [arg for arg in sys.argv[1:] if not arg.startswith("--")]
    profiled = "--profiled" in sys.argv[1:]
    root = Path(tempfile.mkdtemp(prefix="tarnix-bench-"))
    try:
        native = side_namespace(LoginVault, SellerSpriteFeedCatcher, root / "native")
        python = side_namespace(plain_python.LoginVault, plain_python.SellerSpriteFeedCatcher, root / "python")
        ops = [op for op in operations() if not words or any(word in op.label for word in words)]
        check_same_results(ops, native, python)
        load_before = os.getloadavg()
        profiler = cProfile.Profile()
        if profiled:
            profiler.enable()
        try:
            results = measure(ops, native, python)
        finally:
            profiler.disable()
        load_after = os.getloadavg()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"machine: {machine()}")
    print(f"load average before/after: {load_before[0]:.2f} / {load_after[0]:.2f}; "
          f"{ROUNDS} interleaved rounds, medians, empty loop subtracted"
          + ("; cProfile's profiler enabled on both sides" if profiled else ""))
    print("Py/native is the median of the ratios paired within each round (above the floor where one is "
          "given); 'middle half' is their interquartile range")
    print()
    width = max(len(op.label) for op in ops)
    print(f"{'operation':<{width}}  {'native ns':>11}  {'Python ns':>11}  {'floor ns':>9}  {'Py/native':>9}  "
          f"{'middle half':>11}  goal")
    print("-" * (width + 70))
    missed = []
    for op, (native_ns, python_ns, floor_ns, ratio, low, high) in zip(ops, results):
        verdict = "-"
        if op.goal is not None:
            verdict = f">= {op.goal:.2f}" + ("" if ratio >= op.goal else "  MISSED")
            if ratio < op.goal:
                missed.append(op.label)
        floor = f"{floor_ns:9,.0f}" if floor_ns is not None else f"{'':9}"
        print(f"{op.label:<{width}}  {native_ns:11,.0f}  {python_ns:11,.0f}  {floor}  {ratio:8.2f}x  "
              f"{low:5.2f}-{high:4.2f}x  {verdict}")
    print()
    print("floor: a plain coroutine of the same call doing only what both sides must do the same way "
          "(urlparse of the URL, and awaiting the body where the capture fetches it)")
    print()

    for name, catcher_type in (("native", SellerSpriteFeedCatcher),
                               ("Python", plain_python.SellerSpriteFeedCatcher)):
        records, before, after, blocks_before, blocks_after = memory_check(catcher_type)
        print(f"memory, {name}: {MEMORY_CAPTURES:,} captures over six sections -> {records} records; "
              f"RSS {before:,} -> {after:,} KiB ({after - before:+,} KiB); "
              f"allocated blocks {blocks_before:,} -> {blocks_after:,} ({blocks_after - blocks_before:+,})")
    print()
    with_goal = sum(op.goal is not None for op in ops)
    print(f"goals: {with_goal - len(missed)} of {with_goal} met ({time.perf_counter() - started:.0f} s)")
    for label in missed:
        print(f"  missed: {label}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
