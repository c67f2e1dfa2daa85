#!/usr/bin/env bash
# Uses the installed producer library as an outside project would. Builds a Release tree,
# installs it into a temporary prefix and checks the installed tree's layout, the library's
# SONAME and that it exports exactly the C interface's functions. Then builds the C example
# against the prefix with find_package(vaskel) (shared and static library) and with pkg-config
# (cc -std=c99 -Wall -Wextra -Werror), and runs each build and the Python example (over the
# installed shared library) beside the installed renderer; examples/run_example.py checks every
# output byte. Last, the Windows .zip must hold the same tree. The Debian packages are checked by
# 45-packages.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh help2man # the man pages are part of the install
# The packager's build of 45-packages.sh, with its options: that stage then finds it built.
build=${VASKEL_INSTALL_BUILD_DIR:-build/pkg}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
version=$(sed -n 's/^project(vaskel_renderer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}

echo "--- build (Release) and install into a temporary prefix"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
# A packager's build does not stop at a warning, but the release flags must not raise any.
cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1 || {
  tail -40 "$work/build.log"
  exit 1
}
if grep -B2 -A8 'warning:' "$work/build.log"; then
  echo "the release build warns" >&2
  exit 1
fi
# Debian's multiarch folder for a /usr prefix (lib/x86_64-linux-gnu), as the packages install.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
cmake --install "$build" --prefix "$prefix" >/dev/null

# Every file and link, and nothing else: no test, benchmark or example program.
(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed.txt"
programs=(vaskel_renderer vaskel_producer vaskel_wav)
packages=("libvaskel-producer$major" libvaskel-producer-dev vaskel-tools python3-vaskel)
# The live bridge comes along where libjack was found (Linux only; never in the .zip), with the
# documents of its package.
if [ -e "$build/vaskel_jack" ]; then
  programs+=(vaskel_jack)
  packages+=(vaskel-jack)
fi
{
  printf 'bin/%s\n' "${programs[@]}"
  printf "$libdir/%s\n" libvaskel_producer.a libvaskel_producer.so \
    "libvaskel_producer.so.$major" "libvaskel_producer.so.$version" \
    pkgconfig/vaskel-producer.pc cmake/vaskel/vaskelConfig.cmake \
    cmake/vaskel/vaskelConfigVersion.cmake cmake/vaskel/vaskelTargets.cmake \
    cmake/vaskel/vaskelTargets-release.cmake
  printf '%s\n' include/vaskel/version.h \
    lib/python3/dist-packages/vaskel/__init__.py lib/python3/dist-packages/vaskel/py.typed
  (cd include && find vaskel -type f | sed 's|^|include/|')
  printf 'share/man/man1/%s.1.gz\n' "${programs[@]}"
  for package in "${packages[@]}"; do
    printf '%s\n' "share/doc/$package/copyright" "share/doc/$package/changelog.Debian.gz" \
      "share/lintian/overrides/$package"
  done
} | sort >"$work/expected.txt"
if ! diff -u "$work/expected.txt" "$work/installed.txt"; then
  echo "the installed tree differs from the expected layout (- expected, + installed)" >&2
  exit 1
fi
echo "ok   $(wc -l <"$work/installed.txt") files, as expected"

library=$prefix/$libdir/libvaskel_producer.so.$version
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libvaskel_producer.so.$major" ] || {
  echo "SONAME is '$soname', expected libvaskel_producer.so.$major" >&2
  exit 1
}
echo "ok   SONAME $soname"
nm -D --defined-only "$library" | awk '{print $NF}' | sort >"$work/exported.txt"
sed -n 's/^VASKEL_API [^(]*[ *]\(vaskel_[a-z_]*\)(.*/\1/p' include/vaskel/producer.h | sort \
  >"$work/declared.txt"
if ! diff -u "$work/declared.txt" "$work/exported.txt"; then
  echo "the exported symbols differ from the C interface's functions (- declared, + exported)" >&2
  exit 1
fi
echo "ok   exports exactly the $(wc -l <"$work/declared.txt") functions of vaskel/producer.h"

run_example() { # output-dir producer-command...
  local output=$1
  shift
  python3 examples/run_example.py --renderer "$prefix/bin/vaskel_renderer" \
    --output "$work/$output" -- "$@" >"$work/$output.log" 2>&1 || {
    cat "$work/$output.log"
    exit 1
  }
  tail -1 "$work/$output.log"
}

for linkage in shared static; do
  echo "--- the C example, built with find_package(vaskel), $linkage library"
  flag=$([ $linkage = static ] && echo ON || echo OFF)
  cmake -S examples/c -B "$work/cmake-$linkage" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-Werror -DTONE_PRODUCER_STATIC=$flag >/dev/null
  cmake --build "$work/cmake-$linkage" >/dev/null
  if [ $linkage = static ] && ldd "$work/cmake-$linkage/tone_producer" | grep -q vaskel; then
    echo "the static build loads the shared library" >&2
    exit 1
  fi
  run_example "cmake-$linkage-capture" "$work/cmake-$linkage/tone_producer"
done

echo "--- the C example, built with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046 # the flags are words
cc -std=c99 -Wall -Wextra -Werror examples/c/tone_producer.c \
  $(pkg-config --cflags --libs vaskel-producer) -o "$work/tone_producer_pc"
LD_LIBRARY_PATH=$prefix/$libdir run_example pkgconfig-capture "$work/tone_producer_pc"

echo "--- the Python example, over the installed module and shared library"
PYTHONPATH=$prefix/lib/python3/dist-packages run_example python-capture \
  python3 examples/python/tone_producer.py --library "$library"

# The Windows package: the same tree with the platform's names. Uses the Windows build that
# scripts/test.sh has made (the C example runs under Wine in its tests).
windows=${VASKEL_WINDOWS_BUILD_DIR:-build/windows}
if [ ! -f "$windows/libvaskel_producer.dll" ] || [ ! -f "$windows/vaskel_renderer.exe" ]; then
  echo "skip the .zip: no Windows build in $windows"
  exit 0
fi
echo "--- the .zip"
(cd "$windows" && cpack -G ZIP -B "$work/zip" >"$work/cpack-zip.log" 2>&1) || {
  cat "$work/cpack-zip.log"
  exit 1
}
zip=$(ls "$work"/zip/*.zip)
config='s/vaskelTargets-[a-z]*\.cmake/vaskelTargets-<build type>.cmake/' # the builds' types differ
python3 -c 'import sys, zipfile
for name in zipfile.ZipFile(sys.argv[1]).namelist():
    if not name.endswith("/"):
        print(name.split("/", 1)[1])' "$zip" | sed "$config" | sort >"$work/zip-files.txt"
# Without what only Linux has: the Python module, man pages, Debian's documents.
sed -e "s|^$libdir/|lib/|" -e '/^bin\/vaskel_jack$/d' -e 's|^bin/\(vaskel_[a-z]*\)$|bin/\1.exe|' -e '/^lib\/libvaskel_producer\.so/d' -e "$config" \
  -e '/^lib\/python3\//d' -e '/^share\//d' "$work/installed.txt" >"$work/zip-expected.txt"
printf '%s\n' bin/libvaskel_producer.dll lib/libvaskel_producer.dll.a LICENSE \
  >>"$work/zip-expected.txt"
sort -o "$work/zip-expected.txt" "$work/zip-expected.txt"
if ! diff -u "$work/zip-expected.txt" "$work/zip-files.txt"; then
  echo "the .zip differs from the installed tree (- expected, + .zip)" >&2
  exit 1
fi
echo "ok   $(basename "$zip"): the same tree, with the DLL and its import library"
