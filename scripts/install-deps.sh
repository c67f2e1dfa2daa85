#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages. Quick when all is there.
# Extra package names given as arguments are installed too: a stage that needs a package of its
# own (an audio server, a compiler for a binding) names it where it is used. With --only first,
# only the packages named are installed (the demo installs what it builds with, not the test
# toolchain).
set -euo pipefail
if [ "${1:-}" = --only ]; then
  shift
  packages=("$@")
else
  packages=(
    cmake make g++ pkg-config git
    googletest libgtest-dev
    libsndfile1-dev sox
    g++-mingw-w64-x86-64-posix wine wine64
    clang libclang-rt-14-dev
    valgrind gnuplot-nox python3 python3-venv python3-numpy
    dpkg-dev file strace help2man
    jackd2 libjack-jackd2-dev
    "$@"
  )
fi
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # jackd2 asks about real-time limits on install; the tests' servers run without real time.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections 2>/dev/null || true
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
