#!/usr/bin/env bash
# The C# and Rust bindings, each as a user gets them: the library installed into a temporary
# prefix from build/linux (test.sh has built it; or VASKEL_BUILD_DIR), the C# example compiled
# with Mono's mcs and run under mono over the runtime library alone (the install component of
# the runtime package: libvaskel_producer.so.0, no unversioned link; found through
# LD_LIBRARY_PATH), the Rust example built with cargo --offline (the library found through
# pkg-config). Each runs beside the installed renderer; examples/run_example.py checks every
# byte of the capture. The C# test disposes a producer under a running write.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${VASKEL_BUILD_DIR:-build/linux}
packages=(mono-mcs mono-runtime)
# A cargo already on the PATH (rustup's, say) will do; a clean machine gets Debian's.
command -v cargo >/dev/null || packages+=(cargo)
bash scripts/install-deps.sh "${packages[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

runtime=$work/runtime # what the runtime package holds
cmake --install "$build" --prefix "$runtime" --component lib >/dev/null
if [ -e "$runtime/lib/libvaskel_producer.so" ]; then
  echo "the runtime component holds the unversioned link" >&2
  exit 1
fi

run_example() { # name library-dir producer-command...
  local name=$1 library=$2
  shift 2
  LD_LIBRARY_PATH=$library python3 examples/run_example.py \
    --renderer "$prefix/bin/vaskel_renderer" --output "$work/$name-capture" -- "$@" \
    >"$work/$name.log" 2>&1 || {
    cat "$work/$name.log"
    exit 1
  }
  tail -1 "$work/$name.log"
}

echo "--- C#: $(mcs --version)"
mcs -warnaserror+ -out:"$work/tone_producer.exe" bindings/csharp/Vaskel.cs \
  bindings/csharp/example/ToneProducer.cs
# Without Span the float[] overloads must still stand on their own.
mcs -warnaserror+ -d:VASKEL_NO_SPAN -target:library -out:"$work/vaskel-nospan.dll" \
  bindings/csharp/Vaskel.cs
run_example csharp "$runtime/lib" mono "$work/tone_producer.exe"
mcs -warnaserror+ -out:"$work/dispose_during_write.exe" bindings/csharp/Vaskel.cs \
  bindings/csharp/test/DisposeDuringWrite.cs
# From the scratch folder: a crashing mono leaves its report in the working directory.
(cd "$work" && LD_LIBRARY_PATH=$runtime/lib mono dispose_during_write.exe "vaskel-stage55-$$")

echo "--- Rust: $(cargo --version)"
# The build products stay out of the source tree; the lock file is the committed one.
CARGO_TARGET_DIR=$(cd "$build" && pwd)/cargo
export CARGO_TARGET_DIR PKG_CONFIG_PATH=$prefix/lib/pkgconfig
RUSTFLAGS="-D warnings" cargo build --offline --locked --quiet \
  --manifest-path bindings/rust/vaskel/Cargo.toml --example tone_producer
run_example rust "$prefix/lib" "$CARGO_TARGET_DIR/debug/examples/tone_producer"
