#!/usr/bin/env python3
"""Reads the JUnit file ctest wrote for a stage of tools/test.sh.

    junit_failures.py STAGE JUNIT_XML LOG FAILURES_TSV FAILED_OUTPUT

Prints "PASSED FAILED" (a skipped test counts as passed, as ctest counts it).
For each failed test, appends "STAGE<TAB>CHECK<TAB>LOG" lines to FAILURES_TSV,
one per failed check inside it: the "FAIL" lines of a script suite, the failed
assertions (file:line) of a unit test, or else the test itself with how it
ended. The end of each failed test's output goes to FAILED_OUTPUT. Prints
nothing when the file is missing or unreadable.
"""
import os
import re
import sys
import xml.etree.ElementTree as ET

OUTPUT_LINES = 60
MAX_CHECKS = 20


def checks_of(name, output, status):
    lines = output.splitlines()
    # Script suites say "FAIL: what" (or "FAIL  what" for the package checks).
    said = [line[5:].strip(" :") for line in lines if re.match(r"^FAIL[: ] ", line)]
    if said:
        return ["%s: %s" % (name, s) for s in said]
    # GoogleTest: "path/file.cpp:123: Failure".
    places = []
    for line in lines:
        m = re.match(r"^(\S+?):(\d+): Failure$", line)
        if m:
            places.append("%s:%s" % (os.path.basename(m.group(1)), m.group(2)))
    if places:
        return ["%s (%s)" % (name, ", ".join(dict.fromkeys(places)))]
    how = {"fail": "failed"}.get(status, status or "failed")
    if "Timeout" in output[-300:] or re.search(r"\*\*\*Timeout", output):
        how = "timed out"
    return ["%s (%s)" % (name, how)]


def main():
    stage, junit, log, failures_tsv, failed_output = sys.argv[1:6]
    try:
        tree = ET.parse(junit)
    except (OSError, ET.ParseError):
        return 0
    passed = failed = 0
    with open(failures_tsv, "a") as failures, open(failed_output, "w") as out:
        for case in tree.iter("testcase"):
            name = case.get("name", "?")
            bad = case.find("failure") is not None or case.find("error") is not None \
                or case.get("status") == "fail"
            if not bad:
                passed += 1
                continue
            failed += 1
            output = "".join(t.text or "" for t in case.iter("system-out"))
            checks = checks_of(name, output, case.get("status"))
            if len(checks) > MAX_CHECKS:
                checks = checks[:MAX_CHECKS] + ["%s: %d more" % (name, len(checks) - MAX_CHECKS)]
            for check in checks:
                failures.write("%s\t%s\t%s\n" % (stage, check.replace("\t", " "), log))
            tail = output.splitlines()[-OUTPUT_LINES:]
            out.write("== %s: %s\n%s\n" % (stage, name, "\n".join(tail)))
    if passed + failed == 0:
        return 0
    print(passed, failed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
