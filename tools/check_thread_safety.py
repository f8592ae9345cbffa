#!/usr/bin/env python3
"""Compiles the program's sources with Clang's thread-safety analysis and fails on any finding.

Reads the build's compile_commands.json, runs each source of the program's folders through
clang++ -fsyntax-only with the build's own defines and include paths, and prints what the
analysis found: a guarded field touched without its lock, a lock taken twice or not released, a
function called without a lock it requires. Exits 0 when clean, 1 on a finding, 77 (a skipped
test) when clang++ is missing.
    check_thread_safety.py <compile_commands.json> <source root> [clang++]
"""
import concurrent.futures
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sys

CHECKED_FOLDERS = ("base", "dynamics", "scene", "exchange", "view", "app", "batch", "python")
ANALYSIS = ["-fsyntax-only", "-Wno-everything", "-Wthread-safety", "-Werror=thread-safety"]


def clang_command(clang, entry):
    """The entry's compile command with clang++ in place of the compiler, checking only."""
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    kept = [clang] + ANALYSIS
    skip_next = False
    for arg in args[1:]:
        if skip_next:
            skip_next = False
        elif arg == "-o":
            skip_next = True  # no object file is written
        elif arg.startswith(("-D", "-I", "-isystem", "-std=")) or not arg.startswith("-"):
            kept.append(arg)  # defines, include paths (and -isystem's folder), the source
    return kept


def main():
    commands, root = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]).resolve()
    clang = sys.argv[3] if len(sys.argv) > 3 else shutil.which("clang++")
    if not clang or not shutil.which(clang):
        print("clang++ not found: scripts/setup.sh installs it")
        return 77
    entries = []
    for entry in json.loads(commands.read_text()):
        source = pathlib.Path(entry["directory"], entry["file"]).resolve()
        try:
            relative = source.relative_to(root)
        except ValueError:
            continue
        if relative.parts[0] in CHECKED_FOLDERS and source.suffix == ".cpp":
            entries.append((relative, entry))
    if not entries:
        print(f"no sources in {commands}")
        return 1

    def check(item):
        relative, entry = item
        run = subprocess.run(clang_command(clang, entry), cwd=entry["directory"],
                             capture_output=True, text=True)
        return relative, run.returncode, run.stdout + run.stderr

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as workers:
        for relative, code, output in workers.map(check, sorted(entries)):
            if code != 0 or output.strip():
                failed += 1
                print(f"--- {relative}\n{output}")
    print(f"thread safety: {len(entries)} sources, {failed} with findings")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
