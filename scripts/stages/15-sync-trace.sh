#!/usr/bin/env bash
# Exit 0 means on disk: a real capture, traced with strace, must fsync (or fdatasync) every stream
# file through the descriptor it wrote it with, and then the output root, before the rename
# that puts the complete progress snapshot in place. The tests replace these syncs to watch them;
# only a trace sees the renderer's own. Uses build/linux (test.sh has built it), or
# VASKEL_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${VASKEL_BUILD_DIR:-build/linux}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/out
streams=3

strace -f -y -qq -o "$work/trace" -e trace=openat,fsync,fdatasync,rename,renameat,renameat2 \
  "$build/vaskel_producer" "vaskel-sync-trace-$$" --streams "$streams" --frames 20000 \
  --run-renderer "$build/vaskel_renderer" "$root" >"$work/out.txt" 2>&1 ||
  { cat "$work/out.txt"; echo "FAIL the traced capture did not complete"; exit 1; }
grep -q '"state":"complete"' "$root/render-progress.json" ||
  { echo "FAIL no complete snapshot"; exit 1; }

python3 - "$work/trace" "$root" "$streams" <<'PY'
import re
import sys

trace, root, streams = sys.argv[1], sys.argv[2], int(sys.argv[3])
lines = open(trace, encoding="utf-8", errors="replace").read().splitlines()
# The last rename onto the snapshot is the complete one.
snapshot = root + "/render-progress.json"
renames = [i for i, line in enumerate(lines)
           if re.search(r"\brename(at2?)?\(", line) and line.rstrip().endswith("= 0")
           and ('"%s"' % snapshot) in line]
if not renames:
    sys.exit("FAIL no rename onto %s in the trace" % snapshot)
complete = renames[-1]
failures = 0
for i in range(streams):
    name = "%s/stream-%d.wav" % (root, i)
    # The descriptor the renderer opened the file with, by number and process.
    opened = [(line.split()[0], m.group(1)) for line in lines
              for m in [re.search(r"openat\(.*\"stream-%d\.wav\".*= (\d+)<%s>" % (i, re.escape(name)),
                                  line)] if m]
    if not opened:
        print("FAIL %s: no openat in the trace" % name)
        failures += 1
        continue
    pid, fd = opened[-1]
    synced = [j for j, line in enumerate(lines[:complete])
              if line.split()[0] == pid and re.search(r"\bf(data)?sync\(%s<%s>\) = 0" % (fd, re.escape(name)), line)]
    if synced:
        print("ok   %s: synced through descriptor %s before the complete snapshot" % (name, fd))
    else:
        print("FAIL %s: descriptor %s never synced before the complete snapshot's rename" % (name, fd))
        failures += 1
root_synced = any(re.search(r"\bfsync\(\d+<%s>\) = 0" % re.escape(root), line)
                  for line in lines[:complete])
print(("ok   " if root_synced else "FAIL ") + "%s: synced before the complete snapshot" % root)
sys.exit(1 if failures or not root_synced else 0)
PY
