"""Every member once on its success and error paths: the script valgrind's memcheck runs.

    PYTHONMALLOC=malloc valgrind --xml=yes --xml-file=memcheck.xml python tests/python/smoke.py
    python tests/python/smoke.py --count memcheck.xml [--figures out.json]

The second form counts the errors of the first run that belong to korvane: invalid reads and
writes, uses of uninitialised values, and definitely lost blocks whose innermost frame outside
the interpreter and the system libraries is korvane's. Errors of the interpreter, NumPy, SciPy
or the solver are counted apart and reported, not failed on: korvane cannot fix them.
"""

import argparse
import json
import sys
import xml.etree.ElementTree as ElementTree

# Run from anywhere, the leak test's table of calls is the smoke's.
sys.path.insert(0, __file__.rsplit("/", 1)[0])


def smoke():
    """Calls every case of the leak test a few times; returns the number of calls."""
    import numpy as np  # noqa: F401 - imported before the calls, as users do
    from test_leaks import Arguments, cases, run

    table = cases(Arguments())
    for call in table.values():
        run(call, 3)
    return 3 * len(table)


# Frames of these objects pass the blame on to whoever called them.
TRANSPARENT = ("vgpreload", "libc.so", "libc-", "ld-linux", "libstdc++", "libgcc_s", "libm.so", "libpython")


def culprit(frames):
    """The extension an error belongs to: the innermost frame outside the interpreter and the
    system libraries, unless interpreted Python code lies in between (then the interpreter)."""
    for obj, fn in frames:
        if fn.startswith("_PyEval_EvalFrame"):
            return "interpreter"
        if obj and not any(name in obj.rsplit("/", 1)[-1] for name in TRANSPARENT):
            return obj.rsplit("/", 1)[-1]
    return "interpreter"


def count(xml_path):
    """(errors that belong to korvane, errors that do not, descriptions of the former)."""
    root = ElementTree.parse(xml_path).getroot()
    ours, others, described = 0, 0, []
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
            continue
        stack = error.find("stack")
        frames = [(frame.findtext("obj") or "", frame.findtext("fn") or "?") for frame in stack.iter("frame")]
        if culprit(frames).startswith("korvane"):
            ours += 1
            text = error.findtext("what") or error.findtext("xwhat/text") or kind
            described.append(
                f"{kind}: {text}\n    " + "\n    ".join(f"{fn} ({obj})" for obj, fn in frames[:16])
            )
        else:
            others += 1
    return ours, others, described


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", metavar="XML", help="count the errors of a memcheck run")
    parser.add_argument("--figures", metavar="JSON", help="with --count: write the figures here")
    parser.add_argument("--calls", type=int, default=0, help="with --count: calls the smoke made")
    options = parser.parse_args()
    if options.count:
        ours, others, described = count(options.count)
        for text in described:
            print(text)
        print(f"valgrind memcheck: {ours} errors in korvane, {others} elsewhere (not counted)")
        if options.figures:
            with open(options.figures, "w") as out:
                json.dump({"smoke calls": options.calls, "valgrind errors": ours}, out)
        sys.exit(1 if ours else 0)
    print(f"smoke calls: {smoke()}")


if __name__ == "__main__":
    main()
