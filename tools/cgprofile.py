# Reads a callgrind profile taken with per-instruction counts
# (--dump-instr=yes --compress-pos=no): how often each instruction ran, by
# object and address, and the function each one belongs to. Shared by the
# tools beside it.
import collections
import re
import sys


def read_profile(path, tool):
    counts = collections.defaultdict(int)
    function = {}
    obj = fn = None
    after_call = False
    # Compressed names: "(n) name" the first time, "(n)" after, numbered
    # apart for objects, functions and files.
    names = collections.defaultdict(dict)
    kinds = {"ob": "ob", "cob": "ob", "fn": "fn", "cfn": "fn"}

    def named(key, text):
        table = names[kinds.get(key, "fl")]
        m = re.match(r"(\(\d+\))\s*(.*)", text.strip())
        if not m:
            return text.strip()
        if m.group(2):
            table[m.group(1)] = m.group(2)
        return table.get(m.group(1), m.group(1))

    with open(path) as profile:
        for line in profile:
            if line.startswith("ob="):
                obj = named("ob", line[3:])
            elif line.startswith("fn="):
                fn = named("fn", line[3:])
            elif line.startswith(("cob=", "cfi=", "cfl=", "cfn=", "fl=", "fi=", "fe=")):
                key, text = line.split("=", 1)
                named(key, text)  # keeps the tables whole
            elif line.startswith("calls="):
                after_call = True  # the next cost line is the callee's
            elif line.startswith("0x"):
                if after_call:
                    after_call = False
                    continue
                fields = line.split()
                if len(fields) < 3:
                    continue
                at = (obj, int(fields[0], 16))
                counts[at] += int(fields[2])
                function[at] = fn
            elif line.startswith("+") or line.startswith("-"):
                sys.exit(f"{tool}: the profile compresses positions; take it with --compress-pos=no")
    return counts, function
