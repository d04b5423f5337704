#!/usr/bin/env python3
"""Writes the Debian changelog of the package from CHANGELOG.md, so that the
release notes are written once.

  python3 tools/debian-changelog.py CHANGELOG.md VERSION "Name <address>" OUT

CHANGELOG.md holds one section per release, newest first, headed
"## VERSION - YYYY-MM-DD"; in each, a paragraph or a "- " item becomes one
change ("  * ", wrapped under 80 columns). The newest section must be
VERSION, the package's: a release whose changes are not written down fails
here rather than shipping without them.

Debian wants each entry later than the one before it. CHANGELOG.md gives
days; releases made on the same day are a minute apart, the newest last.
"""

import datetime
import re
import sys
import textwrap

SECTION = re.compile(r"^## +(\S+) +- +(\d{4}-\d{2}-\d{2})\s*$")
WIDTH = 79


def plain(text):
    text = re.sub(r"\[([^\]]+)\]\([^)]*\)", r"\1", text)
    return text.replace("`", "").replace("**", "")


def releases(markdown):
    """(version, date, [change, ...]) for each section, in order."""
    found = []
    change = None
    for line in markdown.split("\n"):
        heading = SECTION.match(line)
        if heading:
            found.append((heading.group(1), heading.group(2), []))
            change = None
            continue
        if not found or line.startswith("#"):
            continue
        changes = found[-1][2]
        stripped = line.strip()
        if not stripped:
            change = None
        elif stripped.startswith("- ") or change is None:
            changes.append(stripped[2:] if stripped.startswith("- ") else stripped)
            change = len(changes) - 1
        else:
            changes[change] += " " + stripped
    return found


def entry(version, date, changes, maintainer, earlier_that_day):
    day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
    day += datetime.timedelta(minutes=earlier_that_day)
    lines = ["tarnwick (%s) unstable; urgency=medium" % version, ""]
    for change in changes:
        lines += textwrap.wrap(plain(change), WIDTH, initial_indent="  * ",
                               subsequent_indent="    ", break_on_hyphens=False)
    lines += ["", " -- %s  %s" % (maintainer, day.strftime("%a, %d %b %Y %H:%M:%S +0000")), ""]
    return lines


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.split("\n\n")[1])
    source, version, maintainer, target = sys.argv[1:]
    with open(source, encoding="utf-8") as changelog:
        found = releases(changelog.read())
    if not found or found[0][0] != version:
        sys.exit("%s: its newest release is %s, not %s: write down what %s brings"
                 % (source, found[0][0] if found else "missing", version, version))
    lines = []
    for i, (number, date, changes) in enumerate(found):
        earlier_that_day = sum(1 for older in found[i + 1:] if older[1] == date)
        lines += entry(number, date, changes, maintainer, earlier_that_day)
    with open(target, "w", encoding="utf-8") as out:
        out.write("\n".join(lines[:-1]) + "\n")


if __name__ == "__main__":
    main()
