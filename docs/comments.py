#!/usr/bin/env python3
"""Doxygen's input filter for the public headers.

The headers are commented in plain `//` lines: the block above a
declaration says what it is, a comment after a member on its line says
what the member holds, and the block at the top of a header describes the
whole family. This filter hands Doxygen the same text with those comments
as documentation (`///`, `///<`, and `/// @file`), leaving comments inside
function bodies alone. The headers themselves stay as they are.

    python3 comments.py HEADER      (prints the filtered header)
"""
import re
import sys

SCOPE = re.compile(r"\b(namespace|class|struct|union|enum)\b")
TRAILING = re.compile(r"^(\s*[^/\s].*?[;,{])\s*//\s?(.*)$")


def strip_literals(line):
    """The line without string and character literals and its comment."""
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    at = line.find("//")
    return line if at < 0 else line[:at]


def filter_header(lines):
    out = []
    scopes = []        # one entry per open brace: True for a class/namespace/enum scope
    head = ""          # the code since the last brace or semicolon
    seen_code = False  # past the header's first code line
    block = []         # the comment lines waiting for what follows them
    pending_end = False  # a specialisation's declaration comes next
    for line in lines:
        text = line.rstrip("\n")
        in_body = not all(scopes)
        stripped = text.strip()
        if stripped.startswith("//") and not stripped.startswith("///"):
            block.append(text)
            continue
        if block:
            if not seen_code:
                # The family's description: the file's own documentation.
                out.append("/// @file")
                out.extend("///" + b.strip()[2:] for b in block)
            elif in_body or stripped == "" or stripped.startswith(("#", "template <>")):
                # Explicit specialisations document nothing of their own.
                out.extend(block)
            else:
                out.extend(re.sub(r"^(\s*)//", r"\1///", b, count=1) for b in block)
            block = []
        if stripped and not stripped.startswith("#"):
            seen_code = True
        code = strip_literals(text)
        trailing = TRAILING.match(text)
        if trailing and not in_body and "//" in text and code.rstrip().endswith((";", ",", "{")):
            text = trailing.group(1) + " ///< " + trailing.group(2)
        if stripped == "template <>" and not in_body:
            # An explicit specialisation: left out of the reference with the
            # declaration on its next line.
            out.append("/// @cond")
            out.append(text)
            pending_end = True
        elif pending_end:
            out.append(text)
            out.append("/// @endcond")
            pending_end = False
        else:
            out.append(text)
        for ch in code:
            if ch == "{":
                # A function's head has its parameter list; a scope's has none.
                scopes.append(bool(SCOPE.search(head)) and "(" not in head)
                head = ""
            elif ch == "}":
                if scopes:
                    scopes.pop()
                head = ""
            elif ch == ";":
                head = ""
            else:
                head += ch
        head += " "
    out.extend(block)
    return out


def main():
    with open(sys.argv[1], encoding="utf-8") as source:
        lines = source.readlines()
    sys.stdout.write("\n".join(filter_header(lines)) + "\n")


if __name__ == "__main__":
    main()
