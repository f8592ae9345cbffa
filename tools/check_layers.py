#!/usr/bin/env python3
"""Checks that includes between the source folders point one way only.

Each source folder may include itself and the folders listed for it (tests are left out: an
equivalence test drives the window and the batch program together). Prints every include that
climbs and exits 1 when there is one.
    check_layers.py <source root>
"""
import pathlib
import re
import sys

# Lower layers first; each layer may include the ones before it in its list.
MAY_INCLUDE = {
    "base": [],
    "dynamics": ["base"],
    "scene": ["base", "dynamics"],
    "exchange": ["base", "dynamics", "scene"],
    "view": ["base", "dynamics", "scene"],
    "app": ["base", "dynamics", "scene", "exchange", "view"],
    "batch": ["base", "dynamics", "scene", "exchange"],
    "python": ["base", "dynamics", "scene", "exchange"],
    "bench": ["base", "dynamics", "scene", "exchange", "view", "app"],
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def climbs(root: pathlib.Path):
    for folder, allowed in MAY_INCLUDE.items():
        ok = set(allowed) | {folder}
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for number, line in enumerate(path.read_text().splitlines(), 1):
                m = INCLUDE.match(line)
                if m and m.group(1) in MAY_INCLUDE and m.group(1) not in ok:
                    yield f"{path.relative_to(root)}:{number}: {folder} includes {m.group(1)}"


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = list(climbs(root))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
