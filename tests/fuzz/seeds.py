#!/usr/bin/env python3
"""Writes fuzz seed corpora taken from the black-box scenarios: their command lines, their
CRC files, their partition tables and their environment blocks.

  seeds.py OUTDIR      (creates OUTDIR/parse, OUTDIR/crcfile, OUTDIR/table, OUTDIR/env)
"""
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
import run  # noqa: E402

ENV = slice(0x4000, 0x6000)


def seeds_of(scenario):
    """(corpus, bytes) pairs that one scenario provides."""
    args = list(scenario.args)
    yield "parse", b"\0".join(a.encode() for a in args)
    word = args[0] if args else ""
    named = {}
    if word.startswith("check") and word not in ("checksystem", "checktempconf") and len(args) > 1:
        named["crcfile"] = [args[1]]
    if word in ("writesystem", "checksystem") and len(args) > 1:
        named["table"] = [args[1]]
    if word == "checksystem":
        named["crcfile"] = args[5:8]
    for corpus, names in named.items():
        for name in names:
            if name in scenario.files:
                yield corpus, scenario.files[name]
    if word == "readenv" and "mtd0" in scenario.flash:
        yield "env", scenario.flash["mtd0"][ENV]


def main():
    out = sys.argv[1]
    count = 0
    for scenarios in run.load_groups().values():
        for scenario in scenarios:
            for corpus, data in seeds_of(scenario):
                os.makedirs(os.path.join(out, corpus), exist_ok=True)
                name = hashlib.sha1(data).hexdigest()[:16]
                with open(os.path.join(out, corpus, name), "wb") as f:
                    f.write(data)
                count += 1
    print(f"{count} seeds from the scenarios in {out}")


if __name__ == "__main__":
    main()
