#!/usr/bin/env bash
# Cross-builds the 64-bit Windows program (tovra-install.exe, linked statically), the package
# builder and every test program whose subject is portable, with MinGW-w64. The static libraries
# and the toolchain file come from scripts/windows-deps.sh, which reuses everything already built
# (a second run takes 0 s).
# Env: WINCROSS_ROOT (dependency root, default ~/.cache/tovra-win64), TOVRA_WINDOWS_BUILD (build
# folder, default build/win32), TOVRA_INITIAL_PACKAGE_SHA256 (the package seal, default empty),
# TOVRA_FAULT_INJECTION (ON for the test build with fault points), TOVRA_WINDOWS_TARGET (build only
# this target).
set -euo pipefail
cd "$(dirname "$0")/.."
root=${WINCROSS_ROOT:-$HOME/.cache/tovra-win64}
export WINCROSS_ROOT=$root
build=${TOVRA_WINDOWS_BUILD:-build/win32}
# The build runs programs under Wine too: test discovery and the makers of the sealed packages.
export WINEPREFIX=${WINEPREFIX:-$root/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
deps=scripts/windows-deps.sh

# Every step stamped: nothing to do, and no root rights needed.
steps=(1-apt 1-toolchain 1-wineprefix 2-zstd 2-openssl35 2-libarchive 2-curl 2-gtest)
missing=0
for step in "${steps[@]}"; do [ -f "$root/stamps/$step" ] || missing=1; done
if [ "$missing" -eq 1 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo --preserve-env=WINCROSS_ROOT,HOME)
  "${sudo_cmd[@]}" bash "$deps"
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/mingw64-toolchain.cmake" "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=Release -DTOVRA_WERROR=ON -DTOVRA_WINDOWS_PREFIX="$root/prefix" \
  -DTOVRA_INITIAL_PACKAGE_SHA256="${TOVRA_INITIAL_PACKAGE_SHA256:-}" \
  -DTOVRA_FAULT_INJECTION="${TOVRA_FAULT_INJECTION:-OFF}" >/dev/null
cmake --build "$build" -j "$(nproc)" ${TOVRA_WINDOWS_TARGET:+--target "$TOVRA_WINDOWS_TARGET"}
