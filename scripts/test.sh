#!/usr/bin/env bash
# Builds everything from scratch and runs every test:
#   linux    the library, the testing host, the tests, oska-render and the
#            benchmarks (built, not run); the export check
#   asan     the tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     the tests under ThreadSanitizer (concurrent first calls of the
#            bindings, concurrent evaluation)
#   windows  the 32-bit DLL cross-built with mingw-w64, its tests under Wine,
#            its export and import check
#   package  the release archives, built twice and compared, installed and
#            used by tests/consumer on Linux and under Wine (scripts/package.sh)
#   bench    the oskacolor benchmark built for Linux and for the DLL (Google
#            Benchmark cross-built from Debian's source), both run briefly
#   tidy cppcheck valgrind coverage fuzz
#            the hardening checks of scripts/check.sh (docs/hardening.md)
# Usage: scripts/test.sh [stage...]   (default: every stage)
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(linux asan tsan windows package bench tidy cppcheck valgrind coverage fuzz)

# Silent and quick when every package is there; installs what is missing.
bash scripts/install-deps.sh

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
# No installer dialogs for components the tests never use.
export WINEDLLOVERRIDES="mscoree,mshtml="

for stage in "${stages[@]}"; do
  echo "=== $stage"
  start=$SECONDS
  if [ "$stage" = bench ]; then
    [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1 || true
    bash scripts/bench.sh --benchmark_min_time=0.05
    echo "=== $stage passed in $((SECONDS - start)) s"
    continue
  fi
  if [ "$stage" = package ]; then
    [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1 || true
    bash scripts/package.sh
    echo "=== $stage passed in $((SECONDS - start)) s"
    continue
  fi
  case "$stage" in tidy | cppcheck | valgrind | coverage | fuzz)
    bash scripts/check.sh "$stage"
    echo "=== $stage passed in $((SECONDS - start)) s"
    continue ;;
  esac
  if [ "$stage" = windows ] && [ ! -d "$WINEPREFIX" ]; then
    wineboot -i >/dev/null 2>&1 || true
  fi
  cmake --preset "$stage" >/dev/null
  cmake --build --preset "$stage"
  ctest --preset "$stage"
  echo "=== $stage passed in $((SECONDS - start)) s"
done
