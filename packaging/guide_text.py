#!/usr/bin/env python3
"""The user guide as plain text for the Windows zip, where a .md file opens as a bare
text file anyway: headings underlined, links and pictures spelled out, code marks and
table rules dropped, CRLF line ends for Notepad.
Usage: guide_text.py GUIDE.md OUT.txt"""
import re
import sys


def plain(line):
    line = re.sub(r"!\[([^\]]*)\]\(([^)]*)\)", r"[picture: \1, \2]", line)
    line = re.sub(r"\[([^\]]*)\]\(([^)]*)\)", r"\1 (\2)", line)
    return line.replace("`", "").replace("**", "")


def convert(lines):
    out = []
    for line in lines:
        heading = re.match(r"^(#+)\s+(.*)$", line)
        if line.startswith("```") or re.match(r"^\|?\s*-+\s*(\|\s*-+\s*)+\|?\s*$", line):
            continue
        if heading:
            text = plain(heading.group(2))
            out.append(text)
            if len(heading.group(1)) <= 2:
                out.append(("=" if len(heading.group(1)) == 1 else "-") * len(text))
            continue
        if line.startswith("|"):
            line = " | ".join(cell.strip() for cell in line.strip().strip("|").split("|"))
        out.append(plain(line))
    return out


def main():
    with open(sys.argv[1], encoding="utf-8") as source:
        lines = source.read().splitlines()
    with open(sys.argv[2], "w", encoding="utf-8", newline="\r\n") as target:
        target.write("\n".join(convert(lines)) + "\n")


if __name__ == "__main__":
    main()
