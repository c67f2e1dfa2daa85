#!/usr/bin/env python3
"""Fails on an #include that goes the wrong way between the source folders.

The renderer's folders form a ladder: platform < common < transport < output < capture < entry.
A file may include its own folder and the folders below it, never one above. A room beside the
ladder (wavfile, reading and repairing stream files for the tools) stands on one rung: it may
include that rung and those below, and no folder of the ladder includes it. The producer
library (producer/) may use only transport and platform. Tests beside the sources may use
anything.

    check_layers.py [ROOT]      check the tree at ROOT (default: the repository)
    check_layers.py --self-test check that the checker itself catches a wrong include
"""
import pathlib
import re
import sys
import tempfile

LADDER = ["platform", "common", "transport", "output", "capture", "entry"]
# Rooms beside the ladder, and the rung each stands on.
BESIDE = {"wavfile": "output"}
# Folders outside src/ with a fixed set of allowed includes.
LIBRARIES = {"producer": {"producer", "transport", "platform", "vaskel"}}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')


def allowed(root, path):
    rel = path.relative_to(root).parts
    if rel[0] == "src" and len(rel) > 2 and rel[1] in LADDER:
        return set(LADDER[: LADDER.index(rel[1]) + 1])
    if rel[0] == "src" and len(rel) > 2 and rel[1] in BESIDE:
        return set(LADDER[: LADDER.index(BESIDE[rel[1]]) + 1]) | {rel[1]}
    if rel[0] in LIBRARIES:
        return LIBRARIES[rel[0]]
    return None


def violations(root):
    root = pathlib.Path(root)
    found = []
    for path in sorted(root.glob("**/*")):
        if path.suffix not in (".h", ".cpp") or path.stem.endswith("_test"):
            continue
        if "build" in path.relative_to(root).parts:
            continue
        permitted = allowed(root, path)
        if permitted is None:
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if match and match.group(1) not in permitted:
                found.append(f"{path.relative_to(root)}:{number}: includes {match.group(1)}/")
    return found


def self_test():
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        files = {
            "src/transport/a.h": '#include "platform/file.h"\n',
            "src/output/b.cpp": '#include "transport/a.h"\n#include "output/b.h"\n',
            "src/output/b_test.cpp": '#include "entry/anything.h"\n',
            "src/wavfile/w.cpp": '#include "output/b.h"\n#include "wavfile/w.h"\n',
            "src/capture/c.cpp": '#include "output/b.h"\n',
            "producer/p.cpp": '#include "transport/a.h"\n#include "vaskel/producer.h"\n',
        }
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        if violations(root):
            return "a correct tree was refused: " + "; ".join(violations(root))
        (root / "src/transport/a.h").write_text('#include "capture/failure_code.h"\n')
        (root / "producer/p.cpp").write_text('#include "output/stream_writer.h"\n')
        (root / "src/wavfile/w.cpp").write_text('#include "capture/capture_loop.h"\n')
        (root / "src/capture/c.cpp").write_text('#include "wavfile/w.h"\n')
        found = violations(root)
        if len(found) != 4:
            return "wrong includes were not all caught: " + "; ".join(found)
    return None


def main():
    if sys.argv[1:] == ["--self-test"]:
        problem = self_test()
        print(problem or "check_layers self-test passed")
        return 1 if problem else 0
    root = sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent
    found = violations(root)
    for line in found:
        print(line)
    print(f"{len(found)} include(s) against the folder order" if found else "include order ok")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
