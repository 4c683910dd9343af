"""Instructions per call of the call-bound rows, counted by callgrind.

Wall time on a shared machine moves by more than the differences between
the sides; instruction counts do not.  Each row's statement runs in a loop
of SHORT and of LONG iterations, each in a process of its own under
`valgrind --tool=callgrind`, and the difference divided by the difference of
iterations is its count per call: start-up, imports and the setup cancel
out.  The loop's own instructions (the `pass` row) are subtracted.  String
hashes are fixed (PYTHONHASHSEED=0), so every dict probe takes the same path
in every run and the counts repeat exactly.

    bench/instructions.py [--compiled=DIR] [WORD...]

runs the rows whose label holds a WORD (by default the call rows, the scan
and the captures, these above their floor) for the native classes, the
plain classes and, with --compiled, the compiled ones.
Invoked with `--one SIDE N STATEMENT [DIR]` it is the child that runs one loop.
"""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import run  # noqa: E402

SHORT, LONG = 20_000, 120_000
# A capture is some 15,000 instructions: fewer runs give as exact a count.
CAPTURE_SHORT, CAPTURE_LONG = 2_000, 12_000


def one_loop(side: str, count: int, statement: str, compiled_dir: str | None) -> None:
    if side == "native":
        namespace_of = (run.LoginVault, run.SellerSpriteFeedCatcher)
    elif side == "compiled":
        compiled = run.compiled_module(compiled_dir)
        namespace_of = (compiled.LoginVault, compiled.SellerSpriteFeedCatcher)
    else:
        namespace_of = (run.plain_python.LoginVault, run.plain_python.SellerSpriteFeedCatcher)
    namespace = run.side_namespace(*namespace_of, Path(tempfile.mkdtemp(prefix="tarnix-count-")))
    exec(compile(f"for _ in range({count}):\n    {statement}\n", "<count>", "exec"), namespace)


def instructions(side: str, count: int, statement: str, compiled_dir: str | None) -> int:
    child = [sys.executable, __file__, "--one", side, str(count), statement] + ([compiled_dir] if compiled_dir else [])
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *child],
                            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"}, check=True)
    for line in result.stderr.splitlines():
        if "Collected :" in line:
            return int(line.split()[-1])
    raise SystemExit(f"no count from callgrind:\n{result.stderr}")


def per_call(side: str, statement: str, compiled_dir: str | None, runs: tuple[int, int] = (SHORT, LONG)) -> float:
    short, long = runs
    first = instructions(side, short, statement, compiled_dir)
    return (instructions(side, long, statement, compiled_dir) - first) / (long - short)


def counted(op: run.Op) -> bool:
    """The call rows, the scan and the captures (judged above their floor),
    each once: not the same calls again through the instance or the class,
    not the binding error, whose work is raising."""
    if " via " in op.label or "binding error" in op.label:
        return False
    return op.goal in (run.CALL, run.SCAN) or op.floor is not None


def main() -> int:
    if sys.argv[1:2] == ["--one"]:
        side, count, statement, *rest = sys.argv[2:]
        one_loop(side, int(count), statement, rest[0] if rest else None)
        return 0
    compiled_dir = next((arg.split("=", 1)[1] for arg in sys.argv[1:] if arg.startswith("--compiled=")), None)
    words = [arg for arg in sys.argv[1:] if not arg.startswith("--")]
    sides = ["native", "Python"] + (["compiled"] if compiled_dir else [])
    ops = [op for op in run.operations() if counted(op) and (not words or any(w in op.label for w in words))]
    loop = {side: per_call(side, "pass", compiled_dir) for side in sides}
    width = max(len(op.label) for op in ops)
    print(f"Python {sys.version.split()[0]}: instructions per call, the loop's own ({loop['native']:.0f}) "
          "subtracted; captures above their floor (each side's own work)")
    header = f"{'operation':<{width}}" + "".join(f"{side:>10}" for side in sides)
    if compiled_dir:
        header += f"{'comp/native':>13}"
    print(header)
    print("-" * len(header))
    for op in ops:
        if op.floor is None:
            counts = [per_call(side, op.statement, compiled_dir) - loop[side] for side in sides]
        else:
            runs = (CAPTURE_SHORT, CAPTURE_LONG)
            counts = [per_call(side, op.statement, compiled_dir, runs) - per_call(side, op.floor, compiled_dir, runs)
                      for side in sides]
        line = f"{op.label:<{width}}" + "".join(f"{count:10,.0f}" for count in counts)
        if compiled_dir:
            line += f"{counts[2] / counts[0]:12.2f}x"
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
