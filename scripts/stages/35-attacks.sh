#!/usr/bin/env bash
# The three ways root was once made to write a file it never meant to, each tried 500 times
# against the programs as built: a victim file outside the output root must stay byte for byte
# as it was.
#   1. stream files: a link to the victim swapped into stream-<i>.wav's place, over and over
#      (renameat2 RENAME_EXCHANGE), while captures start;
#   2. repair: the same swap at a stopped capture's file while vaskel_wav repairs it;
#   3. vaskel_producer --run-renderer: the child's output directory planted in the temporary
#      directory for the next process ids, its stdout and stderr links to the victim;
#   4. a link on the way: a component of the output root swapped, over and over, with another
#      user's link to a victim directory, while captures start (nothing may appear there);
#   5. RF64 repair: another user's set-user-id stream file beyond 4 GiB, its directory swapped
#      with that user's link to a victim directory while vaskel_wav repairs it (nothing may
#      appear there, no copy may keep the set-id bit, no repair may be claimed that was not made).
# Attacks 4 and 5 need root, to play the other user (nobody); they are skipped, loudly, without.
# Uses build/linux (test.sh has built it), or VASKEL_BUILD_DIR; VASKEL_ATTACK_TRIES for another
# number of tries. Fails when a victim changed, or when an attack took longer than its budget.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${VASKEL_BUILD_DIR:-build/linux}")
tries=${VASKEL_ATTACK_TRIES:-500}
budget=${VASKEL_ATTACK_BUDGET_SECONDS:-150}
work=$(mktemp -d)
attacker=""
cleanup() {
  [ -z "$attacker" ] || kill "$attacker" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The attacker. "swap A B ...": exchanges each pair of names in turn, as fast as it can, until it
# is killed. "plant TMPDIR VICTIM": the output directories of the next 20 process ids as
# vaskel_producer --run-renderer once named them, stdout and stderr links to the victim (one
# process, so planting uses up one id only).
cat >"$work/attack.c" <<'C'
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "plant") == 0) {
        FILE* last = fopen("/proc/sys/kernel/ns_last_pid", "r");
        long pid = 0;
        if (last == NULL || fscanf(last, "%ld", &pid) != 1) return 1;
        for (long next = pid + 1; next <= pid + 20; ++next) {
            char dir[4096], link[4200];
            snprintf(dir, sizeof dir, "%s/vaskel-producer-%ld-0", argv[2], next);
            if (mkdir(dir, 0777) != 0) continue;
            snprintf(link, sizeof link, "%s/stdout", dir);
            symlink(argv[3], link);
            snprintf(link, sizeof link, "%s/stderr", dir);
            symlink(argv[3], link);
        }
        return 0;
    }
    for (;;) {
        for (int i = 2; i + 1 < argc; i += 2) {
            renameat2(AT_FDCWD, argv[i], AT_FDCWD, argv[i + 1], RENAME_EXCHANGE);
        }
    }
}
C
gcc -O2 -o "$work/attack" "$work/attack.c"

victim=$work/victim
head -c 20000 /dev/urandom >"$victim"
cp "$victim" "$work/victim.orig"
changed=0
failed=0

# Counts the try as one that changed the victim, and puts the victim back for the next.
judge() {
  if ! cmp -s "$victim" "$work/victim.orig"; then
    changed=$((changed + 1))
    cp "$work/victim.orig" "$victim"
  fi
}

report() {
  local name=$1 started=$2
  local seconds=$((SECONDS - started))
  if [ "$changed" -ne 0 ]; then
    echo "FAIL $name: the victim was changed in $changed of $tries tries"
    failed=1
  elif [ "$seconds" -gt "$budget" ]; then
    echo "FAIL $name: $tries tries took $seconds s, beyond the budget of $budget s"
    failed=1
  else
    echo "ok   $name: the victim untouched in $tries of $tries tries ($seconds s)"
  fi
  changed=0
}

# --- 1. stream files ---------------------------------------------------------------------------
streams=16
root=$work/root1
mkdir -p "$root"
pairs=()
for ((i = 0; i < streams; i++)); do
  : >"$root/stream-$i.wav"
  ln -s "$victim" "$root/decoy-$i"
  pairs+=("$root/stream-$i.wav" "$root/decoy-$i")
done
"$work/attack" swap "${pairs[@]}" &
attacker=$!
started=$SECONDS
completed=0
for ((try = 0; try < tries; try++)); do
  if "$build/vaskel_producer" "vaskel-attack-$$-$try" --streams "$streams" --frames 1024 \
    --timeout-ms 5000 --run-renderer "$build/vaskel_renderer" "$root" 0 2000 \
    >"$work/out" 2>&1; then
    completed=$((completed + 1))
  fi
  judge
done
kill "$attacker" && wait "$attacker" 2>/dev/null || true
attacker=""
report "stream files ($streams streams a capture, $completed captures completed, the rest refused a link)" "$started"

# --- 2. repair ---------------------------------------------------------------------------------
root=$work/root2
mkdir -p "$root"
python3 - "$work/stopped.wav" <<'PY'
import struct, sys
data = bytes(range(256)) * 40 + b"abc"  # whole frames and a partial one, as a killed capture leaves
header = b"RIFF" + struct.pack("<I", 36) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 3, 2, 48000,
         384000, 8, 32) + b"data" + struct.pack("<I", 0)
open(sys.argv[1], "wb").write(header + data)
PY
cp "$work/stopped.wav" "$root/stream-0.wav"
ln -s "$victim" "$root/decoy"
# The stream file held open here, so each try starts from a stopped capture's file whatever name
# it has by then.
exec 7<>"$root/stream-0.wav"
"$work/attack" swap "$root/stream-0.wav" "$root/decoy" &
attacker=$!
started=$SECONDS
repaired=0
for ((try = 0; try < tries; try++)); do
  cat "$work/stopped.wav" >"/proc/$$/fd/7"
  "$build/vaskel_wav" repair "$root/stream-0.wav" >"$work/out" 2>&1 || true
  grep -q "repaired in place" "$work/out" && repaired=$((repaired + 1))
  judge
done
kill "$attacker" && wait "$attacker" 2>/dev/null || true
attacker=""
exec 7>&-
report "repair ($repaired repaired in place, the rest refused a link)" "$started"

# --- 3. --run-renderer -------------------------------------------------------------------------
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
root=$work/root3
started=$SECONDS
for ((try = 0; try < tries; try++)); do
  "$work/attack" plant "$TMPDIR" "$victim"
  "$build/vaskel_producer" "vaskel-attack-$$-r$try" --streams 1 --frames 1024 --timeout-ms 5000 \
    --run-renderer "$build/vaskel_renderer" "$root" 0 2000 >"$work/out" 2>&1 || true
  judge
done
left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 ! -name 'vaskel-producer-*-0' | wc -l)
[ "$left" -eq 0 ] || { echo "FAIL --run-renderer: $left private directories were left behind"; failed=1; }
report "--run-renderer (planted directories for the next process ids)" "$started"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED a link on the way, RF64 repair: only root can play another user"
  exit "$failed"
fi
other=nobody

# Counts the try as a victim when something appeared in the victim directory, and empties it.
judge_directory() {
  if [ -n "$(shopt -s nullglob dotglob; echo "$1"/*)" ]; then
    changed=$((changed + 1))
    find "$1" -mindepth 1 -delete
  fi
}

# --- 4. a link on the way ---------------------------------------------------------------------
w=$work/w4
victimdir=$work/victim4
mkdir -p "$w/x" "$victimdir"
ln -s "$victimdir" "$w/link"
chown -h "$other" "$w/link"
"$work/attack" swap "$w/x" "$w/link" &
attacker=$!
started=$SECONDS
made=0
for ((try = 0; try < tries; try++)); do
  if "$build/vaskel_producer" "vaskel-attack-$$-w$try" --streams 1 --frames 256 \
    --timeout-ms 5000 --run-renderer "$build/vaskel_renderer" "$w/x/y/cap" 0 2000 \
    >"$work/out" 2>&1; then
    made=$((made + 1))
  fi
  judge_directory "$victimdir"
done
kill "$attacker" && wait "$attacker" 2>/dev/null || true
attacker=""
report "a link on the way ($made captures completed, the rest refused another user's link)" "$started"

# --- 5. RF64 repair ---------------------------------------------------------------------------
w=$work/w5
victimdir=$work/victim5
mkdir -p "$w/cap" "$victimdir"
ln -s "$victimdir" "$w/decoy"
chown -h "$other" "$w/decoy"
chown "$other" "$w/cap"
# The real directory held here: each try plants its stopped capture there, whatever its name.
exec 9<"$w/cap"
real=/proc/$$/fd/9
python3 - "$work/stopped5.wav" <<'PY'
import struct, sys
header = b"RIFF" + struct.pack("<I", 36) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 3, 2, 48000,
         384000, 8, 32) + b"data" + struct.pack("<I", 0)
open(sys.argv[1], "wb").write(header + bytes(range(1, 256)) * 16)
PY
truncate -s $((4 * 1024 * 1024 * 1024 + 4096)) "$work/stopped5.wav"
chown "$other" "$work/stopped5.wav"
chmod 04777 "$work/stopped5.wav"
"$work/attack" swap "$w/cap" "$w/decoy" &
attacker=$!
started=$SECONDS
rf64=0
claimed=0
for ((try = 0; try < tries; try++)); do
  # Sparse, owner and mode kept: the other user's set-user-id file, one process a try.
  cp -a --remove-destination "$work/stopped5.wav" "$real/stream-0.wav"
  "$build/vaskel_wav" repair "$w/cap" >"$work/out" 2>&1 || true
  judge_directory "$victimdir"
  IFS= read -r -N 4 magic <"$real/stream-0.wav" || true
  if [ "$magic" = RF64 ]; then
    rf64=$((rf64 + 1))
    if [ -u "$real/stream-0.wav" ] || [ -g "$real/stream-0.wav" ]; then
      changed=$((changed + 1))
    fi
  elif [[ "$(<"$work/out")" == *"rewritten as RF64"* ]]; then
    claimed=$((claimed + 1))
    changed=$((changed + 1))
  fi
done
kill "$attacker" && wait "$attacker" 2>/dev/null || true
attacker=""
exec 9<&-
report "RF64 repair ($rf64 rewritten as RF64 without a set-id bit, the rest refused another user's link; $claimed claimed but not made)" "$started"

exit "$failed"
