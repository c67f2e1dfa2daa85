#!/usr/bin/env bash
# Builds and runs every test: Linux, Linux under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the Windows build under Wine; then the extra stages in scripts/stages/.
#
# Two lanes run side by side, each doing its steps in order. Much of a run waits rather than
# computes (Wine's process starts, dpkg, pip, the timed soaks), and the other lane fills those
# gaps. Lane 2 holds the Windows build and its suite and every stage that installs packages or
# uses the Windows build (dpkg lets one installer run at a time, so they stay in one lane), and
# the fuzzers and the attacks; lane 1 holds the Linux builds and every other stage. Each output
# line names its lane.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
started=$SECONDS
marks=$(mktemp -d)
trap 'rm -rf "$marks"' EXIT

# The attacks go to lane 2 as well, which would otherwise end a minute before lane 1.
lane2_stages=" 20-fuzz.sh 35-attacks.sh 40-install.sh 45-packages.sh 55-bindings.sh 56-python-wheel.sh "
# Stages of lane 2 that use build/linux: the first of them waits until lane 1 has built it.
uses_linux=" 35-attacks.sh 55-bindings.sh 56-python-wheel.sh "
lane1=(build:linux test:linux build:asan test:asan)
lane2=(build:windows test:windows)
for path in scripts/stages/*.sh; do
  stage=$(basename "$path")
  if [[ $lane2_stages == *" $stage "* ]]; then
    if [[ $uses_linux == *" $stage "* && " ${lane2[*]} " != *" await:linux "* ]]; then
      lane2+=(await:linux)
    fi
    lane2+=("stage:$stage")
  else
    lane1+=("stage:$stage")
  fi
done

# One step: build:PRESET, test:PRESET, stage:FILE, or await:linux.
run_step() {
  local kind=${1%%:*} what=${1#*:}
  case $kind in
    build)
      cmake --preset "$what" >/dev/null && cmake --build --preset "$what" -j "$jobs" &&
        touch "$marks/$what-built"
      ;;
    test) ctest --preset "$what" ;;
    stage) bash "scripts/stages/$what" ;;
    await)
      until [ -e "$marks/$what-built" ]; do
        [ ! -e "$marks/lane1-ended" ] || {
          echo "lane 1 ended without a $what build"
          return 1
        }
        sleep 1
      done
      ;;
  esac
}

# Runs a lane's steps in order and stops at the first that fails. Each step says how long it
# took, so a slow one is seen before the whole run outgrows its time.
run_lane() {
  local name=$1 step step_start
  shift
  for step in "$@"; do
    step_start=$SECONDS
    echo "=== $step (at $((SECONDS - started)) s)"
    if ! run_step "$step"; then
      echo "=== FAILED: $step (after $((SECONDS - step_start)) s)"
      return 1
    fi
    echo "=== done: $step in $((SECONDS - step_start)) s"
  done
  touch "$marks/$name-passed"
}

for lane in lane1 lane2; do
  steps="$lane[@]"
  # A background list would ignore Ctrl-C, and the tests' children would inherit that.
  { trap - INT QUIT; run_lane "$lane" "${!steps}" 2>&1 || true; touch "$marks/$lane-ended"; } |
    sed -u "s/^/[${lane/lane/lane }] /" &
done
wait
for lane in lane1 lane2; do
  [ -e "$marks/$lane-passed" ] || {
    echo "=== ${lane/lane/lane } failed; its output above says where (after $((SECONDS - started)) s)"
    exit 1
  }
done
echo "=== all tests passed in $((SECONDS - started)) s"
