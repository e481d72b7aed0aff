"""CI's closing table: one row per stage, read from the JUnit XML file its pytest wrote.

Usage: python .ci/summary.py STAGE...   where each STAGE is "name|variant|xml|status":
the kernel variant the stage asked for, its JUnit file, and its exit status (or a word
saying why it failed before or after pytest). A stage fails when its status is not 0,
when its file is missing or unreadable, when it ran no test, or when its tests ran
under another kernel variant than it asked for (tests/conftest.py records the variant
that counted). Exits 1 when any stage failed. The last line gives the totals as
"total: N passed, N failed, N skipped".
"""
import sys
import xml.etree.ElementTree as ET
from collections import Counter


def read_results(path):
    """(passed, failed, skipped, kernel, skip reasons) of one JUnit XML file."""
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    passed = failed = skipped = 0
    kernels = set()
    reasons = Counter()
    for suite in suites:
        for prop in suite.iter("property"):
            if prop.get("name") == "quor_kernel":
                kernels.add(prop.get("value"))
        for case in suite.iter("testcase"):
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
            elif case.find("skipped") is not None:
                skipped += 1
                reasons[case.find("skipped").get("message", "")] += 1
            else:
                passed += 1
    kernel = kernels.pop() if len(kernels) == 1 else ("none recorded" if not kernels else "mixed")
    return passed, failed, skipped, kernel, reasons


def main(stages):
    rows, notes = [], []
    totals = [0, 0, 0]
    ok = True
    for stage in stages:
        name, variant, path, status = stage.split("|")
        try:
            passed, failed, skipped, kernel, reasons = read_results(path)
        except (OSError, ET.ParseError) as exc:
            passed = failed = skipped = 0
            kernel, reasons = "-", Counter()
            if status == "0":
                status = f"no results ({exc.__class__.__name__})"
        problems = []
        if status != "0":
            problems.append(status if not status.isdigit() else f"exit {status}")
        if passed + failed == 0:
            problems.append("ran no test")
        if kernel not in ("-", variant):
            problems.append(f"counted with {kernel}")
        ok = ok and not problems
        totals = [t + v for t, v in zip(totals, (passed, failed, skipped))]
        rows.append((name, variant, str(passed), str(failed), str(skipped),
                     "ok" if not problems else "FAILED: " + ", ".join(problems)))
        for reason, n in sorted(reasons.items()):
            notes.append(f"  {name}: {n} skipped: {reason}")

    header = ("stage", "variant", "passed", "failed", "skipped", "result")
    widths = [max(len(r[k]) for r in rows + [header]) for k in range(len(header))]
    line = "  ".join("{:<%d}" % w for w in widths)
    print("== CI summary")
    print(line.format(*header).rstrip())
    print(line.format(*("-" * w for w in widths)).rstrip())
    for r in rows:
        print(line.format(*r).rstrip())
    if notes:
        print("Skipped tests, by reason:")
        print("\n".join(notes))
    print(f"total: {totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 0 if ok and rows else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
