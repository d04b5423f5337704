#!/usr/bin/env python3
"""Turns the user's manual, README.md, into the README.txt of the Windows
ZIP: plain text that Notepad shows as it is meant, with CRLF line endings.

  python3 tools/readme-text.py README.md README.txt

Left out: the sections that need the sources, which the ZIP does not hold
("## From source", and "Trying a COM port without hardware", whose
simulator only a source build makes), pictures, and HTML comments. Headings are
underlined, code blocks indented, each table row becomes a paragraph of its
own, links keep their text (and a web address its address), and the names
of the texts beside it are those in the ZIP (LICENSE.txt, CHANGELOG.txt).
"""

import re
import sys
import textwrap

LEFT_OUT = ("From source", "Trying a COM port without hardware")
WIDTH = 78
ZIP_NAMES = {"README.md": "README.txt", "CHANGELOG.md": "CHANGELOG.txt", "LICENSE": "LICENSE.txt"}


def inline(text):
    """Markdown inline markup as plain text."""
    text = re.sub(r"!\[[^\]]*\]\([^)]*\)", "", text)

    def link(match):
        label, target = match.group(1), match.group(2)
        return "%s (%s)" % (label, target) if re.match(r"https?://", target) else label

    text = re.sub(r"\[([^\]]+)\]\(([^)]*)\)", link, text)

    def code(match):
        # Quoted where it holds a space, so that a command or a message stands
        # apart from the sentence around it.
        span = ZIP_NAMES.get(match.group(1), match.group(1))
        return '"%s"' % span if re.search(r"\s", span) else span

    text = re.sub(r"`([^`]*)`", code, text)
    text = re.sub(r"\*\*([^*]+)\*\*", r"\1", text)
    return text


def heading(level, title):
    underline = "=" if level <= 2 else "-"
    return [title, underline * len(title)]


def table_cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split("|")]


def table(rows):
    """Each row after the header as a paragraph: its first cell, then each
    other cell under its column's name."""
    header = [inline(cell) for cell in table_cells(rows[0])]
    out = []
    for row in rows[2:]:
        cells = [inline(cell) for cell in table_cells(row)]
        out += textwrap.wrap(cells[0], WIDTH, initial_indent="* ", subsequent_indent="  ")
        for name, cell in zip(header[1:], cells[1:]):
            out += textwrap.wrap("%s: %s" % (name, cell), WIDTH, initial_indent="    ",
                                 subsequent_indent="      ")
        out.append("")
    return out[:-1]


def without_comments(text):
    return re.sub(r"<!--.*?-->\n?", "", text, flags=re.S)


def convert(markdown):
    """The manual as plain-text lines."""
    lines = without_comments(markdown).split("\n")
    out = []
    paragraph = []  # its inline markup may run from one line into the next

    def end_paragraph():
        if paragraph:
            out.extend(line.rstrip() for line in inline("\n".join(paragraph)).split("\n"))
            paragraph.clear()

    skipping_level = None  # the level of the section left out, while in it
    fenced = False
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        plain = not fenced and line.strip() and not re.match(r"^(#|```|\||    )", line)
        if plain and skipping_level is None:
            paragraph.append(line)
            continue
        end_paragraph()
        found = None if fenced else re.match(r"^(#+) +(.*)$", line)
        if found:
            level = len(found.group(1))
            if skipping_level is not None and level > skipping_level:
                continue
            skipping_level = level if found.group(2).strip() in LEFT_OUT else None
            if skipping_level is None:
                out += heading(level, inline(found.group(2).strip()))
            continue
        if skipping_level is not None:
            continue
        if line.startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            out.append("    " + line if line else "")
            continue
        if line.startswith("|"):
            rows = [line]
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            out += table(rows)
            continue
        if re.match(r"^\s*!\[[^\]]*\]\([^)]*\)\s*$", line):
            continue
        out.append(line)
    end_paragraph()
    return squeeze_blank_lines(out)


def squeeze_blank_lines(lines):
    out = []
    for line in lines:
        if line == "" and (not out or out[-1] == ""):
            continue
        out.append(line)
    while out and out[-1] == "":
        out.pop()
    return out


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: readme-text.py README.md README.txt")
    with open(sys.argv[1], encoding="utf-8") as source:
        lines = convert(source.read())
    with open(sys.argv[2], "w", encoding="utf-8", newline="") as target:
        target.write("".join(line + "\r\n" for line in lines))


if __name__ == "__main__":
    main()
