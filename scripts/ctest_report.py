"""Reads ctest's JUnit file, shows the output of each failed test from the
ctest log on stderr, and prints "PASSED FAILED SKIPPED" on stdout.

Usage: ctest_report.py JUNIT.xml CTEST.log
"""
import re
import sys
import xml.etree.ElementTree as ET

MAX_LINES = 150


def failed_blocks(log_text, names):
    """Yields (name, lines) for each failed test's block in the ctest log."""
    start = re.compile(r"^\s*(?:\d+/\d+ )?Test\s+#\d+: (\S+) \.+")
    blocks, current = {}, None
    for line in log_text.splitlines():
        m = start.match(line)
        if m:
            current = m.group(1)
            blocks.setdefault(current, []).append(line)
        elif current is not None:
            if line.startswith(("Start ", "    Start ")) or re.match(r"^\s*\d+/\d+ Test", line):
                current = None
            else:
                blocks[current].append(line)
    for name in names:
        yield name, blocks.get(name, [])


def main():
    junit, log = sys.argv[1], sys.argv[2]
    try:
        root = ET.parse(junit).getroot()
    except (OSError, ET.ParseError) as e:
        print(f"test: no ctest results in {junit} ({e}); see {log}", file=sys.stderr)
        try:
            with open(log, errors="replace") as f:
                sys.stderr.write("".join(f.readlines()[-30:]))
        except OSError:
            pass
        print("0 1 0")
        return
    passed = failed = skipped = 0
    failed_names = []
    for case in root.iter("testcase"):
        status = case.get("status", "")
        if case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed += 1
            failed_names.append(case.get("name", "?"))
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    try:
        with open(log, errors="replace") as f:
            text = f.read()
    except OSError:
        text = ""
    # ctest's own count wins: a test it could not start is "not run" in the
    # JUnit file but a failure all the same.
    m = re.search(r"tests passed, (\d+) tests? failed out of (\d+)", text)
    if m and int(m.group(1)) > failed:
        extra = int(m.group(1)) - failed
        failed += extra
        skipped = max(0, skipped - extra)
        section = text[text.find("The following tests FAILED:"):]
        for line in section.splitlines()[1:]:
            t = re.match(r"\s*\d+ - (\S+)", line)
            if t and t.group(1) not in failed_names:
                failed_names.append(t.group(1))
    if failed_names:
        print(f"test: {len(failed_names)} FAILED (full log: {log}):", file=sys.stderr)
        for name, lines in failed_blocks(text, failed_names):
            print(f"----- {name}", file=sys.stderr)
            if len(lines) > MAX_LINES:
                lines = lines[:20] + ["   [...]"] + lines[-(MAX_LINES - 20):]
            print("\n".join(lines), file=sys.stderr)
    print(passed, failed, skipped)


if __name__ == "__main__":
    main()
