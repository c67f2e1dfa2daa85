#!/bin/sh
# What help2man reads of a program: its --help, with the usage lines and the exit codes in the
# forms help2man knows. "usage:" becomes "Usage:" and every further usage line an "or:" line, so
# the SYNOPSIS has one line per form; the "Exit status:" or "Exit codes:" paragraph becomes the
# section EXIT STATUS. The programs' own --help stays as users and the README see it.
#   man-help.sh <program> --help
program=$1
shift
text=$("$program" "$@") || exit
printf '%s\n' "$text" | sed -e '1s/^usage: /Usage: /' \
  -e '2,/^$/s/^       \([^ ]\)/  or:  \1/' \
  -e 's/^Exit \(status\|codes\): */*Exit status*\n/'
