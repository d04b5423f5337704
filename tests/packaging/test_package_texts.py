#!/usr/bin/env python3
"""The texts the packages get from the sources: the ZIP's README.txt made
from README.md (tools/readme-text.py) and the Debian changelog made from
CHANGELOG.md (tools/debian-changelog.py), each run as the build runs it."""

import os
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")

MANUAL = """# Tarnwick

Tarnwick sends `T 1` or `T 0`; see [Limits](#limits) and
[Hamlib](https://hamlib.github.io/). The licence is in `LICENSE`. Then `rigctl -m 2 -r
127.0.0.1:4532 t` shows the state.

<!-- a note for the manual's writers -->
![Latency](docs/latency.png)

## From source

    sudo bash tools/run-tests.sh

### Presets

Build with `cmake --preset linux`.

## Messages

| Message | What it means | What to do |
|---|---|---|
| `Tarnwick running - Press ctrl/c to exit` | Start-up is over. | Nothing. |

```
Missing paramters - you need COM port and IP Address and rigctl port of QVN, eg 
  Tarnwick com10 192.168.1.64:4532
```

### Trying a COM port without hardware

Run `build/linux/tools/modemsim/modemsim`.

#### Under Wine

    export WINEPREFIX=$PWD/build/windows/wineprefix

### Limits

At most four ports.
"""

CHANGES = """# Changelog

## 1.1.0 - 2026-12-08

- Host names are looked up, and a rather long sentence follows here so that this change has to be wrapped
  onto more than one line, with `code` in it.

## 1.0.0 - 2026-12-08

The first release.

- Carries push-to-talk.
"""


def run_tool(name, *arguments):
    return subprocess.run([sys.executable, os.path.join(TOOLS, name)] + list(arguments),
                          capture_output=True)


class ReadmeTextTest(unittest.TestCase):
    def convert(self, markdown):
        with tempfile.TemporaryDirectory() as scratch:
            source = os.path.join(scratch, "README.md")
            target = os.path.join(scratch, "README.txt")
            with open(source, "w") as out:
                out.write(markdown)
            result = run_tool("readme-text.py", source, target)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(target, "rb") as made:
                return made.read()

    def test_every_line_ends_with_cr_lf(self):
        text = self.convert(MANUAL)
        self.assertTrue(text.endswith(b"\r\n"))
        self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))
        self.assertNotIn(b"\r\r", text)

    def test_the_sections_that_need_the_sources_go_with_their_subsections_and_nothing_else(self):
        text = self.convert(MANUAL).decode()
        self.assertNotIn("From source", text)
        self.assertNotIn("run-tests", text)
        self.assertNotIn("Presets", text)
        for source_only in ("without hardware", "modemsim", "Under Wine", "WINEPREFIX"):
            self.assertNotIn(source_only, text)
        self.assertIn("Messages\r\n========\r\n", text)
        self.assertIn("Limits\r\n------\r\n\r\nAt most four ports.\r\n", text)

    def test_markdown_becomes_plain_text(self):
        lines = self.convert(MANUAL).decode().split("\r\n")
        self.assertEqual(lines[:2], ["Tarnwick", "========"])
        self.assertIn('Tarnwick sends "T 1" or "T 0"; see Limits and', lines)
        self.assertIn('Hamlib (https://hamlib.github.io/). The licence is in LICENSE.txt. Then "rigctl'
                      ' -m 2 -r', lines)
        self.assertIn('127.0.0.1:4532 t" shows the state.', lines)
        text = "\n".join(lines)
        for markup in ("`", "](", "<!--", "latency.png", "|", "```"):
            self.assertNotIn(markup, text)

    def test_a_table_row_becomes_a_paragraph_under_its_column_names(self):
        text = self.convert(MANUAL).decode()
        self.assertIn('* "Tarnwick running - Press ctrl/c to exit"\r\n'
                      "    What it means: Start-up is over.\r\n"
                      "    What to do: Nothing.\r\n", text)

    def test_code_is_indented_and_kept_to_the_byte(self):
        text = self.convert(MANUAL).decode()
        self.assertIn("    Missing paramters - you need COM port and IP Address and rigctl port"
                      " of QVN, eg \r\n      Tarnwick com10 192.168.1.64:4532\r\n", text)


class DebianChangelogTest(unittest.TestCase):
    def make(self, changes, version):
        with tempfile.TemporaryDirectory() as scratch:
            source = os.path.join(scratch, "CHANGELOG.md")
            target = os.path.join(scratch, "changelog")
            with open(source, "w") as out:
                out.write(changes)
            result = run_tool("debian-changelog.py", source, version,
                              "The Tarnwick developers <tarnwick@example.org>", target)
            if result.returncode != 0:
                return result, None
            parsed = subprocess.run(["dpkg-parsechangelog", "-l", target, "--all",
                                     "--format", "rfc822"], capture_output=True, text=True)
            with open(target) as made:
                return parsed, made.read()

    def test_each_release_is_an_entry_dpkg_reads(self):
        parsed, text = self.make(CHANGES, "1.1.0")
        self.assertEqual(parsed.returncode, 0, parsed.stderr)
        versions = [line.split()[1] for line in parsed.stdout.split("\n")
                    if line.startswith("Version:")]
        self.assertEqual(versions, ["1.1.0", "1.0.0"])
        self.assertTrue(text.startswith("tarnwick (1.1.0) unstable; urgency=medium\n\n"
                                        "  * Host names are looked up, and a rather long"))
        self.assertIn("\n  * The first release.\n  * Carries push-to-talk.\n", text)
        self.assertNotIn("`", text)
        changes = [line for line in text.split("\n") if line.startswith("  ")]
        self.assertEqual(len(changes), 4)
        self.assertTrue(all(len(line) < 80 for line in changes), text)

    def test_releases_of_one_day_follow_each_other(self):
        _, text = self.make(CHANGES, "1.1.0")
        trailers = [line for line in text.split("\n") if line.startswith(" -- ")]
        self.assertEqual(trailers, [
            " -- The Tarnwick developers <tarnwick@example.org>  Tue, 08 Dec 2026 00:01:00 +0000",
            " -- The Tarnwick developers <tarnwick@example.org>  Tue, 08 Dec 2026 00:00:00 +0000"])

    def test_a_version_without_its_entry_is_refused(self):
        result, text = self.make(CHANGES, "1.2.0")
        self.assertIsNone(text)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"newest release is 1.1.0, not 1.2.0", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
