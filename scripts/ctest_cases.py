#!/usr/bin/env python3
"""Counts the cases of one ctest run from gtest's own output.

    ctest_cases.py CONSOLE_LOG LAST_TEST_LOG

CONSOLE_LOG is what ctest printed (one status line per ctest test),
LAST_TEST_LOG its Testing/Temporary/LastTest.log (every test's output). A
ctest test is one gtest case, a whole gtest program (ONE_PROCESS under Wine),
or a script (fixtures, checks); each gtest case counts once, a script once.

A case fails when gtest says so, when Wine reported a heap error while it ran
(cmake/wine-run), or when its program ended while it ran (crash, time-out).
A ctest test that failed without any failed case fails under its own name.
Prints "passed N", "failed N", "skipped N", then one line per failed case
("failed-case NAME: why"), per skipped case ("skipped-case NAME: why") and
per program that wine-run ran a second time, or in which a service's start
was tried again because Wine could not start its process ("retried NAME").
"""
import re
import sys

# "12/40 Test #7: Suite.Case ......   Passed    0.05 sec"; a parameterised
# case's name holds spaces ("Suite/P.Case/0  # GetParam() = 1").
STATUS = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (.+?) \.*\s*(?:\*{3})?"
                    r"(Passed|Failed|Skipped|Not Run|Timeout|Exception|[A-Za-z]+)(?::.*?)?\s+[0-9.]+ sec\s*$")
RESULT = re.compile(r"^\[ +(OK|FAILED|SKIPPED) +\] (\S+?)(?:, where .*)? \(\d+ ms\)$")
RUN = re.compile(r"^\[ RUN      \] (\S+)")
HEAP = re.compile(r"^([0-9a-f]+:)+(err|warn):heap:")
RETRIED = "bx-wine-run: retried"
SERVICE_RETRIED = "[ WINE     ] "


def statuses(console):
    found = {}
    for line in console:
        m = STATUS.match(line)
        if m:
            found[m.group(1)] = m.group(2)
    # Tests that never ran (a failed fixture) are listed apart by ctest.
    return found


def outputs(last_test_log):
    """name -> output text, from LastTest.log."""
    found = {}
    name, lines, inside = None, [], False
    for line in last_test_log:
        line = line.rstrip("\n")
        m = re.match(r'^"(.+)" start time:', line)
        if m:
            name, lines, inside = m.group(1), [], False
            continue
        if name is None:
            continue
        if line == "Output:":
            inside = "header"
            continue
        if inside == "header":  # the dashes under "Output:"
            inside = True
            continue
        if inside is True:
            if line == "<end of output>":
                found[name] = lines
                name, inside = None, False
            else:
                lines.append(line)
    return found


def cases_of(test, status, lines):
    """[(case, outcome, why)] for one ctest test."""
    cases = {}
    order = []
    running = None
    skip_reason = []
    reading_skip = False
    retried = False
    for line in lines:
        if line.startswith(SERVICE_RETRIED):
            retried = True
            continue
        if line.startswith(RETRIED):
            retried = True
            # The first run reached no case; what it printed does not count.
            cases, order, running = {}, [], None
            continue
        m = RUN.match(line)
        if m:
            running = m.group(1)
            if running not in cases:
                order.append(running)
            cases[running] = ["running", ""]
            skip_reason, reading_skip = [], False
            continue
        m = RESULT.match(line)
        if m and m.group(2) in cases:
            name = m.group(2)
            if cases[name][0] == "running":
                outcome = {"OK": "passed", "FAILED": "failed", "SKIPPED": "skipped"}[m.group(1)]
                why = ""
                if outcome == "skipped":
                    why = " ".join(s.strip() for s in skip_reason if s.strip()) or "no reason given"
                cases[name] = [outcome, why]
            # else: already failed by a heap error; gtest's OK does not undo it
            if running == name:
                running = None
            reading_skip = False
            continue
        if line.endswith(": Skipped") or line == "Skipped":
            reading_skip = True
            skip_reason = []
            continue
        if reading_skip:
            skip_reason.append(line)
        if HEAP.match(line):
            if running:
                cases[running] = ["heap-failed", "Wine reported a heap error while it ran: " + line]
            else:
                order.append(test + " (outside any case)")
                cases[test + " (outside any case)"] = ["failed", "Wine reported a heap error: " + line]
    result = []
    for name in order:
        outcome, why = cases[name]
        if outcome == "running":
            outcome, why = "failed", "its program ended while it ran (%s)" % status
        if outcome == "heap-failed":
            outcome = "failed"
        if outcome == "failed" and not why:
            why = "failed"
        result.append((name, outcome, why))
    if not result:
        # Not a gtest program (a fixture or a check): the test is the case.
        if status == "Passed":
            result.append((test, "passed", ""))
        elif status == "Skipped":
            result.append((test, "skipped", (lines[-1] if lines else "skipped")))
        else:
            result.append((test, "failed", status))
    elif status not in ("Passed", "Skipped") and not any(o == "failed" for _, o, _ in result):
        result.append((test, "failed", "%s although no case failed (exit code, or after the last case)" % status))
    return result, retried


def main():
    with open(sys.argv[1], errors="replace") as f:
        console = f.readlines()
    try:
        with open(sys.argv[2], errors="replace") as f:
            logged = outputs(f)
    except OSError:
        logged = {}
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    notes = []
    for test, status in statuses(console).items():
        results, retried = cases_of(test, status, logged.get(test, []))
        for name, outcome, why in results:
            counts[outcome] += 1
            if outcome != "passed":
                notes.append("%s-case %s: %s" % (outcome, name, why))
        if retried:
            notes.append("retried " + test)
    for key in ("passed", "failed", "skipped"):
        print(key, counts[key])
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
