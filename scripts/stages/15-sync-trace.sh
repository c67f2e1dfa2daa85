#!/usr/bin/env bash
# Exit 0 means on disk, and the drain never waited on it: a real capture, traced with strace, must fsync (or fdatasync) every stream
# file through the descriptor it wrote it with, and then the output root, before the rename
# that puts the complete progress snapshot in place. On a disk file system each file's tail is
# also started on its way before the sync (sync_file_range) and its pages dropped after it
# (fadvise); on a RAM file system (tmpfs) neither is asked for, as it would do nothing. The
# tests replace these steps to watch them; only a trace sees the renderer's own. Uses
# build/linux (test.sh has built it), or VASKEL_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${VASKEL_BUILD_DIR:-build/linux}")
work=$(mktemp -d)
ram=""
trap 'rm -rf "$work" $ram' EXIT
streams=3

# One traced capture into $1 ("disk" or "ram" says what its file system is).
traced_capture() {
local root=$1 kind=$2 trace=$1.trace

strace -f -y -qq -o "$trace" \
  -e trace=openat,fsync,fdatasync,rename,renameat,renameat2,sync_file_range,fadvise64,writev \
  "$build/vaskel_producer" "vaskel-sync-trace-$$" --streams "$streams" --frames 20000 \
  --run-renderer "$build/vaskel_renderer" "$root" >"$root.txt" 2>&1 ||
  { cat "$root.txt"; echo "FAIL the traced capture did not complete"; exit 1; }
grep -q '"state":"complete"' "$root/render-progress.json" ||
  { echo "FAIL no complete snapshot"; exit 1; }

python3 - "$trace" "$root" "$streams" "$kind" <<'PY'
import re
import sys

trace, root, streams, kind = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
lines = open(trace, encoding="utf-8", errors="replace").read().splitlines()
# The last rename onto the snapshot is the complete one: by the root's path, or through the
# held root's descriptor.
snapshot = root + "/render-progress.json"
renames = [i for i, line in enumerate(lines)
           if re.search(r"\brename(at2?)?\(", line) and line.rstrip().endswith("= 0")
           and (('"%s"' % snapshot) in line or ('<%s>, "render-progress.json"' % root) in line)]
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
    on_fd = lambda call: [j for j, line in enumerate(lines) if line.split()[0] == pid
                          and re.search(r"\b%s\(%s<%s>" % (call, fd, re.escape(name)), line)]
    started, dropped = on_fd("sync_file_range"), on_fd("fadvise64")
    if kind == "ram":
        ok = not started and not dropped
        what = "no writeback asked for on a RAM file system"
    else:
        ok = bool(synced) and any(j < synced[0] for j in started) and \
            any(j > synced[0] for j in dropped)
        what = "tail's writeback started before the sync, pages dropped after it"
    print(("ok   " if ok else "FAIL ") + "%s (%s): %s" % (name, kind, what))
    failures += 0 if ok else 1
# The thread that drains the rings never waits on the disk while it drains: every sync and
# rename of that thread comes after its last write of audio (the end's), the disk thread does
# the rest.
drain = [line.split()[0] for line in lines if re.search(r"openat\(.*\"stream-0\.wav\"", line)][-1]
last_write = max((j for j, line in enumerate(lines)
                  if line.split()[0] == drain and re.search(r"\bwritev\(", line)), default=-1)
early = [line for j, line in enumerate(lines[:last_write])
         if line.split()[0] == drain and re.search(r"\b(f(data)?sync|rename(at2?)?)\(", line)]
print(("ok   " if not early else "FAIL ") +
      "the drain thread: %d syncs or renames before its last write of audio" % len(early))
failures += len(early)
root_synced = any(re.search(r"\bfsync\(\d+<%s>\) = 0" % re.escape(root), line)
                  for line in lines[:complete])
print(("ok   " if root_synced else "FAIL ") + "%s: synced before the complete snapshot" % root)
sys.exit(1 if failures or not root_synced else 0)
PY
}

fs_kind() {
  case "$(stat -f -c %T "$1" 2>/dev/null || true)" in
    tmpfs | ramfs) echo ram ;;
    *) echo disk ;;
  esac
}
traced_capture "$work/out" "$(fs_kind "$work")"
# The same where the page cache is the only store, where this machine has one.
if [ -d /dev/shm ] && [ "$(fs_kind /dev/shm)" = ram ] && [ "$(fs_kind "$work")" = disk ]; then
  ram=$(mktemp -d /dev/shm/vaskel-sync-trace.XXXXXXXX)
  traced_capture "$ram/out" ram
else
  echo "note: no RAM file system at /dev/shm beside a disk one; one case only"
fi
