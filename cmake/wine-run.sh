#!/bin/sh
# Runs a Windows executable under Wine with a prefix of its own inside the build folder.
# Usage: wine-run.sh PREFIX-DIR PROGRAM [ARGS...]
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono or Gecko install prompts: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
