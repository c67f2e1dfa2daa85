#!/usr/bin/env bash
# The Debian packages as a packager makes them and a user installs them. Builds them with the
# README's one command, runs lintian (no error, no warning), checks that together they hold
# exactly what `cmake --install` installs, installs them on this machine and uses only the
# installed files: the system python3 imports vaskel (its unit tests run against it), pkg-config
# and man know the library and the programs, every program answers --help and --version, a
# numpy producer and the C example (find_package and pkg-config) capture exactly beside the
# installed renderer, and a Producer never closed leaves no region behind. The packages are
# removed again on every exit. vaskel_jack comes in a package of its own, so vaskel-tools does
# not pull in libjack; the packaging build leaves the benchmarks out, and without help2man it
# stops and says why instead of packing programs without man pages. Last, pip installs
# bindings/python/ offline as a wheel without the library (VASKEL_WHEEL_LIBRARY=system), which
# loads the system's.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
bash scripts/install-deps.sh lintian help2man man-db python3-pip python3-numpy libjack-jackd2-dev
python=/usr/bin/python3 # the system's, whatever python3 comes first in PATH
version=$(sed -n 's/^project(vaskel_renderer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages=(python3-vaskel vaskel-jack vaskel-tools libvaskel-producer-dev libvaskel-producer0)
programs=(vaskel_renderer vaskel_producer vaskel_wav vaskel_jack)
work=$(mktemp -d)
remove_packages() { dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'remove_packages; rm -rf "$work"' EXIT
fail() {
  echo "FAIL $*" >&2
  exit 1
}

echo "--- build the packages"
rm -f build/pkg/*.deb
{
  cmake -S . -B build/pkg -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build/pkg -j2 && (cd build/pkg && cpack -G DEB)
} >"$work/build.log" 2>&1 || {
  tail -40 "$work/build.log"
  fail "the package build"
}
debs=()
for package in "${packages[@]}"; do
  deb=$(ls build/pkg/"${package}"_"$version"-*.deb 2>/dev/null) || fail "no $package .deb"
  debs+=("$deb")
done
all=(build/pkg/*.deb)
[ ${#all[@]} = ${#packages[@]} ] || fail "other .debs than the ${#packages[@]}: ${all[*]}"
echo "ok   ${debs[*]##*/}"
[[ $(cmake --build build/pkg --target help) != *vaskel_bench* ]] ||
  fail "the packaging build has the benchmarks among its targets"
echo "ok   no benchmark among the packaging build's targets"

# Only vaskel-jack needs libjack, and each package's description names each of its programs.
control() { dpkg-deb -f "build/pkg/${1}_$version-1_$(dpkg --print-architecture).deb" "$2"; }
[[ $(control vaskel-tools Depends) != *jack* ]] || fail "vaskel-tools depends on libjack"
[[ $(control vaskel-jack Depends) == *libjack* ]] || fail "vaskel-jack does not depend on libjack"
[[ $(control vaskel-tools Depends) == *libsndfile1* ]] ||
  fail "vaskel-tools does not depend on libsndfile1, which vaskel_wav export needs"
[[ $(control vaskel-jack Depends) == *"vaskel-tools (= $version-1)"* ]] ||
  fail "vaskel-jack does not depend on the vaskel-tools it runs"
for program in vaskel_renderer vaskel_producer vaskel_wav vaskel_jack; do
  package=vaskel-tools
  [ $program = vaskel_jack ] && package=vaskel-jack
  dpkg-deb -c "build/pkg/${package}_$version-1_$(dpkg --print-architecture).deb" \
    >"$work/contents.txt"
  grep -q "/usr/bin/$program$" "$work/contents.txt" || fail "$program is not in $package"
  for described in vaskel-tools vaskel-jack; do
    [[ $(control $described Description) == *"$program"* ]] ||
      fail "the description of $described does not name $program"
  done
done
echo "ok   vaskel_jack alone in vaskel-jack (libjack, vaskel-tools); vaskel-tools needs libsndfile1; the descriptions name all four"

echo "--- lintian"
lintian -I --fail-on error,warning "${debs[@]}" | tee "$work/lintian.txt" ||
  fail "lintian reports an error or a warning"
echo "ok   no error, no warning ($(grep -c '^I:' "$work/lintian.txt" || true) informational)"

# Together the packages hold the installed tree, nothing more or less.
cmake --install build/pkg --prefix "$work/tree/usr" >/dev/null
(cd "$work/tree" && find . ! -type d | sort) >"$work/installed.txt"
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ {print $6}' | sort \
  >"$work/packaged.txt"
diff -u "$work/installed.txt" "$work/packaged.txt" ||
  fail "the packages differ from the installed tree (- installed, + packaged)"
echo "ok   the packages hold the $(wc -l <"$work/installed.txt") installed files"

echo "--- without help2man"
# The same build configured where help2man is missing (hidden from cmake in a mount namespace of
# its own, or else taken as not found): cpack stops and says why, and makes no package.
if unshare -m true 2>/dev/null; then
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare -m sh -c 'mount --bind /dev/null "$(command -v help2man)" && exec "$@"' sh \
    cmake build/pkg -UVASKEL_HELP2MAN >"$work/noman.log" 2>&1
else
  cmake build/pkg -DVASKEL_HELP2MAN= >"$work/noman.log" 2>&1
fi
grep -q "help2man not found" "$work/noman.log" || fail "help2man was not hidden from cmake"
if (cd build/pkg && cpack -G DEB) >>"$work/noman.log" 2>&1; then
  fail "cpack made packages without man pages"
fi
grep -q "The Debian packages need the man pages, which help2man makes" "$work/noman.log" || {
  cat "$work/noman.log"
  fail "cpack stopped without saying why"
}
cmake build/pkg -UVASKEL_HELP2MAN >/dev/null # help2man again, for the next packaging build
echo "ok   without help2man, cpack stops and says: the Debian packages need the man pages"

echo "--- install on this machine"
remove_packages # a run that was killed may have left them
dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  fail "dpkg -i"
}
cd "$work" # nothing of the source tree on any path from here
unset PKG_CONFIG_PATH PYTHONPATH VASKEL_PRODUCER_LIBRARY LD_LIBRARY_PATH

module=$($python -c 'import vaskel; print(vaskel.__file__, vaskel.version())')
[ "$module" = "/usr/lib/python3/dist-packages/vaskel/__init__.py $version" ] ||
  fail "import vaskel: $module"
[ "$(pkg-config --modversion vaskel-producer)" = "$version" ] || fail "pkg-config"
for program in "${programs[@]}"; do
  [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ] || fail "man $program"
  "/usr/bin/$program" --help >help.out 2>help.err || fail "$program --help exits $?"
  [ -s help.out ] && [ ! -s help.err ] || fail "$program --help: not on standard output alone"
  [ "$("/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done
echo "ok   import vaskel, pkg-config, man pages, --help and --version of ${programs[*]}"

VASKEL_REQUIRE_NUMPY=1 $python -m unittest discover -s "$repo/bindings/python/tests" \
  2>unittest.log || {
  cat unittest.log
  fail "the Python module's tests against the installed module"
}
echo "ok   $(grep '^Ran' unittest.log) against the installed module"

# A producer that is never closed: its region exists while it runs and is gone once it exits.
region=vaskel-stage45-$$
seen=$($python -c "import os, vaskel
kept = vaskel.Producer('$region', 1)
print(os.path.exists('/dev/shm/$region'))")
[ "$seen" = True ] || fail "the region was not at /dev/shm/$region while its producer ran"
[ ! -e "/dev/shm/$region" ] || fail "an unclosed Producer left /dev/shm/$region behind"
echo "ok   an unclosed Producer removes its region when its interpreter exits"

capture() { # name producer-command...
  local name=$1
  shift
  $python "$repo/examples/run_example.py" --renderer /usr/bin/vaskel_renderer \
    --output "$work/$name" -- "$@" >"$name.log" 2>&1 || {
    cat "$name.log"
    fail "the $name capture"
  }
  echo "ok   $name: $(tail -1 "$name.log")"
}
capture numpy $python "$repo/examples/python/tone_producer.py" --numpy

cmake -S "$repo/examples/c" -B c-cmake -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-Werror \
  >/dev/null && cmake --build c-cmake >/dev/null || fail "the C example with find_package"
capture c-find-package c-cmake/tone_producer
# shellcheck disable=SC2046 # the flags are words
cc -std=c99 -Wall -Wextra -Werror "$repo/examples/c/tone_producer.c" \
  $(pkg-config --cflags --libs vaskel-producer) -o tone_producer_pc ||
  fail "the C example with pkg-config"
capture c-pkg-config ./tone_producer_pc

echo "--- pip install of a wheel without the library, offline"
VASKEL_WHEEL_LIBRARY=system $python -m pip install --quiet --no-index --target pip-target \
  "$repo/bindings/python" >pip.log 2>&1 || {
  cat pip.log
  fail "pip install"
}
loaded=$(PYTHONPATH=pip-target $python -c 'import vaskel
print(vaskel.__file__, vaskel.load()._name)')
[ "$loaded" = "$work/pip-target/vaskel/__init__.py libvaskel_producer.so.${version%%.*}" ] ||
  fail "pip's vaskel and its library: $loaded"
echo "ok   pip installs vaskel $version, which falls back to the system's library"
