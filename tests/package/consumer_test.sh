#!/usr/bin/env bash
# Installs this build into a scratch prefix and builds a small outside
# program against it twice: through find_package(Velquor) and through
# pkg-config.
set -euo pipefail
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
launcher=$(command -v ccache || true)
expected="CI / Build / Build Duration"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source/consumer" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" >/dev/null
cmake --build "$scratch/build" >/dev/null
[ "$("$scratch/build/consumer")" = "$expected" ] || { echo "find_package consumer printed the wrong text"; exit 1; }

pc_dir=$(dirname "$(find "$scratch/prefix" -name velquor.pc)")
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs velquor)
# shellcheck disable=SC2086
$launcher g++ -o "$scratch/pc-consumer" "$source/consumer/main.cpp" $flags
[ "$("$scratch/pc-consumer")" = "$expected" ] || { echo "pkg-config consumer printed the wrong text"; exit 1; }
echo "both consumers built and ran"
