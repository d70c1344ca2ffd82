#!/usr/bin/env python3
"""Every file or folder of the repository that a document names exists: the README, the
manual pages, doc/ and the READMEs of examples/, tests/, bench/ and debian/. A path is a
word that starts with one of the repository's top folders (src/..., tools/..., a glob such
as tests/blackbox/scenarios_*.py included) or a source file's bare name (flash.h, run.py),
which must exist somewhere in the tree. Not checked: build trees (build/, build-arm/...,
made by the build), paths inside other paths (/usr/src/..., DIR/var), a reader's own
files (./check-board.sh) and the few files named below that are not the project's.
Prints each missing path with its document and line; status 1 when there is one."""
import argparse
import glob
import os
import re
import sys

TOP = ("src", "tools", "tests", "examples", "bench", "doc", "cmake", "debian", ".ci")
DOCUMENTS = ("README.md", "doc/*", "examples/**/README*", "tests/**/README*",
             "bench/**/README*", "debian/README*")
# Files a document names that live elsewhere: the script the kernel tier writes for each
# job in its guest, and the kernel's own source of the physmap_of module.
ELSEWHERE = {"job.sh", "physmap-core.c"}
# A path of the tree: a top folder and what follows, not inside another path (/usr/src/...),
# a pattern (<subsystem>_test.cpp) or a longer word; or a bare source file name.
PATH = re.compile(r"(?<![\w./$<>*-])((?:%s)/[\w./*+-]*|[\w+-]+\.(?:cpp|h|py|sh|c))(?![\w/])"
                  % "|".join(re.escape(top) for top in TOP))


def words(text, roff):
    """The document's text as a reader sees it: roff's escapes and fonts taken out."""
    if roff:
        text = re.sub(r"\\f[BIRP]|\\&|\\e", "", text).replace("\\-", "-")
    return text


def tree_names(root):
    """The file names of the source tree, build trees and git's own folder left out."""
    names = set()
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = [name for name in subfolders if not name.startswith(("build", ".git"))]
        names.update(files)
    return names


def missing_paths(root, names, document):
    """(line number, path) of each path that document names and the tree does not have."""
    with open(os.path.join(root, document), encoding="utf-8") as f:
        text = words(f.read(), not document.endswith(".md"))
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        for path in PATH.findall(line):
            path = path.rstrip(".")
            if path in ELSEWHERE:
                continue
            if "/" not in path and path not in names or \
                    "/" in path and not glob.glob(os.path.join(root, path)):
                found.append((number, path))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    root = os.path.abspath(parser.parse_args().root)
    documents = sorted({os.path.relpath(path, root) for pattern in DOCUMENTS
                        for path in glob.glob(os.path.join(root, pattern), recursive=True)
                        if os.path.isfile(path)})
    names, bad = tree_names(root), 0
    for document in documents:
        for number, path in missing_paths(root, names, document):
            print(f"{document}:{number}: {path}: no such file in the tree")
            bad += 1
    print(f"{len(documents)} documents checked, {bad} missing paths")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
