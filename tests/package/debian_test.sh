#!/usr/bin/env bash
# Packs this build into the Debian packages, unpacks them into a scratch
# root and runs the unpacked command.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack failed"; }
runtime=$(ls "$scratch"/out/velquor_*.deb)
development=$(ls "$scratch"/out/velquor-dev_*.deb)

depends=$(dpkg-deb -f "$runtime" Depends)
for library in libc6 libcurl libsqlite3 libssl libgmp; do
  [[ $depends == *"$library"* ]] || fail "velquor package does not declare $library: $depends"
done
[[ $(dpkg-deb -f "$development" Depends) == *"velquor (="* ]] || fail "velquor-dev does not need velquor"
[[ $(dpkg-deb -c "$development") == *cmake/Velquor/VelquorConfig.cmake* ]] || fail "no CMake package in velquor-dev"

dpkg -x "$runtime" "$scratch/root"
velquor=$scratch/root/usr/bin/velquor
version=$("$velquor" --version)
[[ $version == "velquor "[0-9]* ]] || fail "unexpected version line: $version"
[ -f "$scratch/root/usr/share/bash-completion/completions/velquor" ] || fail "no bash completion"
MANPAGER=cat man -l "$(ls "$scratch"/root/usr/share/man/man1/velquor.1*)" >/dev/null || fail "manual page does not render"
"$velquor" demo "$scratch/data" >/dev/null
[ -d "$scratch/data/events" ] || fail "velquor demo wrote no events"
echo "$version unpacked and ran"
