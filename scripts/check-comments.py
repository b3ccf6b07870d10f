#!/usr/bin/env python3
"""Stale-comment check for the product sources (common lib transfer forward utils
server proto; .h .cpp .c):

  - every file opens with a comment that says what it is;
  - every name a comment writes as a call, name(), or as Class::name, is a
    name the code still has: a comment that names a function or member that
    was renamed or removed misleads the next reader.

"The code" is every C and C++ file of the tree that git does not ignore
(tests and benchmarks too), with comments and literals taken out.  Prints
one line per finding and exits with status 1 when there is any, 0 otherwise.

    python3 scripts/check-comments.py [repository root]
"""
import re
import subprocess
import sys
from pathlib import Path

PRODUCT_DIRS = ("common", "lib", "transfer", "forward", "utils", "server", "proto")
SOURCE_SUFFIXES = (".h", ".cpp", ".c", ".hpp")
CALL = re.compile(r"(?<!\w)((?:[A-Za-z_]\w*::)*[A-Za-z_~]\w*)\(\)")
QUALIFIED = re.compile(r"(?<![\w:])([A-Za-z_]\w*(?:::[A-Za-z_~]\w*)+)")
TOKEN = re.compile(r"[A-Za-z_]\w*")


def split_source(text):
    """Returns (code, comments): code with every comment and literal blanked
    out, and a list of (line, comment text)."""
    code = []
    comments = []
    i, n, line = 0, len(text), 1
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            comments.append((line, text[i + 2 : end]))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            body = text[i + 2 : end - 2]
            comments.append((line, body))
            line += body.count("\n")
            code.append("\n" * body.count("\n"))
            i = end
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            open_paren = text.find("(", i + 2)
            delim = text[i + 2 : open_paren]
            end = text.find(")" + delim + '"', open_paren)
            end = n if end < 0 else end + len(delim) + 2
            skipped = text[i:end]
            line += skipped.count("\n")
            code.append(' ""' + "\n" * skipped.count("\n"))
            i = end
        elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            code.append(" ")
            i = j + 1
        else:
            if c == "\n":
                line += 1
            code.append(c)
            i += 1
    return "".join(code), comments


def tracked(root, patterns):
    out = subprocess.run(["git", "-C", str(root), "ls-files", "--cached", "--others",
                          "--exclude-standard", "--", *patterns],
                         check=True, capture_output=True, text=True).stdout
    return [root / p for p in out.split()]


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    sources = [p for p in tracked(root, ["*.h", "*.cpp", "*.c", "*.hpp"]) if p.is_file()]
    parsed = {p: split_source(p.read_text(errors="replace")) for p in sources}
    names = set()
    for code, _ in parsed.values():
        names.update(TOKEN.findall(code))

    findings = []
    for path, (_, comments) in sorted(parsed.items()):
        rel = path.relative_to(root)
        if rel.parts[0] not in PRODUCT_DIRS or path.suffix not in SOURCE_SUFFIXES:
            continue
        first = path.read_text(errors="replace").lstrip()
        if not first.startswith(("//", "/*")):
            findings.append(f"{rel}:1: does not open with a comment saying what it is")
        for line, text in comments:
            written = set(CALL.findall(text)) | set(QUALIFIED.findall(text))
            for name in sorted(written):
                missing = [part for part in name.split("::") if part.lstrip("~") not in names]
                if missing:
                    findings.append(f"{rel}:{line}: the comment names {name}, "
                                    f"but the code has no {missing[-1].lstrip('~')}")
    for f in findings:
        print(f)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
