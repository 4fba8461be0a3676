#!/usr/bin/env python3
"""The include rules of the tree (DESIGN.md, "Layout"), checked on every file:

- every quoted include names its path from the repository root; a bare name is
  allowed only for "BXLogger.h", the exported header with its own directory;
- product folders form layers, and a product file includes only its own layer
  or layers below it (tests beside the code may include anything they test,
  but never a product folder above their own);
- product code never includes test support, the stand-ins or benchmarks.

Prints each offence and exits 1 when there is one.
"""
import os
import re
import sys

# Bottom to top. tool/ and installer/ stand on the same ground as the agent's
# program: the layers below the service, never the agent's program itself.
LAYERS = [
    "platform",
    "logger",
    "agent/crypto",
    "agent/settings",
    "agent/identity",
    "agent/records",
    "agent/protocol",
    "agent/appliance",
    "agent/snoop",
    "agent/service",
    "agent/program",
]
# agent/daemon (the Linux agent) stands on the snooper as agent/service does.
SIDE_LAYERS = {"tool": "agent/service", "installer": "agent/service", "agent/daemon": "agent/snoop"}
NOT_PRODUCT = ("tests/", "sim/", "bench/", "fuzz/")
SOURCE = re.compile(r"\.(h|hpp|c|cpp|rc)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    """The layer a path belongs to, or None outside the product."""
    for layer in sorted(LAYERS + list(SIDE_LAYERS), key=len, reverse=True):
        if path == layer or path.startswith(layer + "/"):
            return layer
    return None


def rank(layer):
    if layer in SIDE_LAYERS:
        return LAYERS.index(SIDE_LAYERS[layer]) + 0.5
    return LAYERS.index(layer)


def is_test(path):
    name = os.path.basename(path)
    return name.endswith("_test.cpp") or "/test_programs/" in path or "/tests/" in path


def check(root):
    offences = []
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        dirnames[:] = [d for d in dirnames if not d.startswith(".") and not (rel_dir == "." and d == "build")]
        for name in filenames:
            if not SOURCE.search(name):
                continue
            path = os.path.normpath(os.path.join(rel_dir, name))
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                text = f.read()
            own = folder_of(path)
            for target in INCLUDE.findall(text):
                if target == "BXLogger.h":
                    continue
                if "/" not in target:
                    offences.append(f"{path}: \"{target}\" names no folder")
                    continue
                if path.startswith("sim/driver/"):
                    continue  # kernel code of its own, built apart
                if own is None:
                    continue
                if target.startswith(NOT_PRODUCT) and not is_test(path):
                    offences.append(f"{path}: product code includes \"{target}\"")
                    continue
                theirs = folder_of(target)
                if theirs is None or theirs == own:
                    continue
                if rank(theirs) > rank(own):
                    offences.append(f"{path} ({own}) includes \"{target}\" from {theirs}, a layer above it")
    return offences


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    offences = check(os.path.abspath(root))
    for o in offences:
        print(o)
    print(f"include rules: {len(offences)} offence(s)")
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
