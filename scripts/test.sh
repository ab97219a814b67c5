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
#            (bench/oskacolor_bench.sh)
#   tidy cppcheck valgrind coverage fuzz
#            the hardening checks of scripts/check.sh (docs/hardening.md)
#   deps     installs the packages (scripts/install-deps.sh); it runs first on
#            its own whenever one is missing
# Usage: scripts/test.sh [stage...]   (default: every stage but deps)
set -euo pipefail
cd "$(dirname "$0")/.."

# A CMake preset of the stage's name: configure, build, run its tests.
preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

# Wine's prefix, made once, for the stages that run the DLL.
wine_prefix() {
  [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1 || true
}

# Every stage and its command; a full run takes them in `order`.
declare -A run=(
  [deps]="bash scripts/install-deps.sh"
  [windows]="wine_prefix && preset windows"
  [package]="wine_prefix && bash scripts/package.sh"
  [bench]="wine_prefix && bash bench/oskacolor_bench.sh --benchmark_min_time=0.05"
)
for stage in linux asan tsan; do run[$stage]="preset $stage"; done
for stage in tidy cppcheck valgrind coverage fuzz; do run[$stage]="bash scripts/check.sh $stage"; done
order=(linux asan tsan windows package bench tidy cppcheck valgrind coverage fuzz)

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${order[@]}")
for stage in "${stages[@]}"; do
  [ -n "${run[$stage]:-}" ] || { echo "test.sh: no stage '$stage' (stages: deps ${order[*]})" >&2; exit 2; }
done

# The installer only when a package is missing, or when asked for by name.
case " ${stages[*]} " in
  *" deps "*) ;;
  *) bash scripts/install-deps.sh --check >/dev/null || stages=(deps "${stages[@]}") ;;
esac

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
# No installer dialogs for components the tests never use.
export WINEDLLOVERRIDES="mscoree,mshtml="

for stage in "${stages[@]}"; do
  echo "=== $stage"
  start=$SECONDS
  eval "${run[$stage]}"
  echo "=== $stage passed in $((SECONDS - start)) s"
done
