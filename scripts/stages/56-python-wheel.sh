#!/usr/bin/env bash
# The Python module as a Python user installs it: `pip install bindings/python` into a fresh
# venv of Debian's python3 (no system site-packages), offline (no package index, and no network
# at all where `unshare -n` works). pip's isolated build needs nothing but the in-tree backend,
# which builds the producer library with CMake and bundles it in a platform wheel. From the
# venv, with no other library on any path, the module must load its bundled copy, pass its unit
# tests and publish a capture that the renderer of build/linux (test.sh has built it; or
# VASKEL_BUILD_DIR) writes byte for byte as examples/run_example.py recomputes it. Also: the
# type hints under mypy --strict, a source archive that builds a wheel by itself, and an
# editable install.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
build=${VASKEL_BUILD_DIR:-build/linux}
bash scripts/install-deps.sh python3-mypy
python=/usr/bin/python3 # Debian's, whatever python3 comes first in PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL $*" >&2
  exit 1
}
# Nothing from outside the venv: no module path, no library named, no loader path.
unset PYTHONPATH VASKEL_PRODUCER_LIBRARY VASKEL_WHEEL_LIBRARY VASKEL_WHEEL_BUILD_DIR \
  LD_LIBRARY_PATH
offline=()
if unshare -n true 2>/dev/null; then
  offline=(unshare -n)
fi

echo "--- pip install bindings/python into a fresh venv, offline${offline:+, without network}"
$python -m venv "$work/venv"
venv=$work/venv/bin/python
"${offline[@]}" "$venv" -m pip install --no-index --disable-pip-version-check \
  bindings/python >"$work/pip.log" 2>&1 || {
  cat "$work/pip.log"
  fail "pip install"
}
site=$("$venv" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' bindings/python/vaskel/__init__.py)
tag=$("$venv" -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_"))')
grep -q "Tag: py3-none-$tag" "$site/vaskel-$version.dist-info/WHEEL" ||
  fail "the wheel is not tagged py3-none-$tag: $(cat "$site/vaskel-$version.dist-info/WHEEL")"
loaded=$(cd "$work" && "$venv" -c 'import vaskel; print(vaskel.load()._name, vaskel.version())')
[ "$loaded" = "$site/vaskel/libvaskel_producer.so.0 $version" ] ||
  fail "the venv's vaskel loads $loaded, not its bundled library"
[ -f "$site/vaskel/py.typed" ] || fail "no py.typed"
echo "ok   a py3-none-$tag wheel; vaskel $version loads $site/vaskel/libvaskel_producer.so.0"

echo "--- from the venv: the unit tests and a capture, bundled library only"
(cd "$work" && VASKEL_RENDERER=$repo/$build/vaskel_renderer "$venv" -m unittest discover \
  -s "$repo/bindings/python/tests") >"$work/unittest.log" 2>&1 || {
  cat "$work/unittest.log"
  fail "the unit tests in the venv"
}
echo "ok   $(grep '^Ran' "$work/unittest.log")"
"$venv" examples/run_example.py --renderer "$build/vaskel_renderer" --output "$work/capture" \
  -- "$venv" examples/python/tone_producer.py >"$work/capture.log" 2>&1 || {
  cat "$work/capture.log"
  fail "the capture"
}
echo "ok   $(tail -1 "$work/capture.log")"

echo "--- type hints, source archive, editable install"
(cd bindings/python && $python -m mypy --strict --cache-dir "$work/mypy" vaskel) ||
  fail "mypy --strict"
sdist=$(cd bindings/python &&
  $python -c 'import sys; sys.path.insert(0, "build_backend"); import vaskel_build
print(vaskel_build.build_sdist(sys.argv[1]))' "$work")
VASKEL_WHEEL_LIBRARY=$site/vaskel/libvaskel_producer.so.0 "$venv" -m pip wheel --no-index \
  --disable-pip-version-check --wheel-dir "$work/wheels" "$work/$sdist" >"$work/sdist.log" 2>&1 || {
  cat "$work/sdist.log"
  fail "a wheel from $sdist"
}
[ -f "$work/wheels/vaskel-$version-py3-none-$tag.whl" ] ||
  fail "a wheel from $sdist: $(ls "$work/wheels")"
"$venv" -m pip install --no-index --disable-pip-version-check -e bindings/python \
  >"$work/editable.log" 2>&1 || {
  cat "$work/editable.log"
  fail "pip install -e"
}
editable=$(cd "$work" && "$venv" -c 'import vaskel; print(vaskel.__file__)')
[ "$editable" = "$repo/bindings/python/vaskel/__init__.py" ] || fail "editable: $editable"
echo "ok   mypy --strict; $sdist builds a platform wheel; pip install -e imports the sources"
