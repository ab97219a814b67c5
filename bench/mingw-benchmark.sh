#!/usr/bin/env bash
# Google Benchmark for the 32-bit Windows build: Debian ships it for Linux
# only, so this builds it with mingw-w64 from Debian's source package (the
# same version as libbenchmark-dev), once, into build/deps/benchmark-i686.
# apt-get source checks the download against Debian's signed index; a private
# list of source repositories is used, so the system's apt setup is untouched.
# Prints the prefix to pass as CMAKE_PREFIX_PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
deps=$PWD/build/deps
prefix=$deps/benchmark-i686
if [ -f "$prefix/lib/cmake/benchmark/benchmarkConfig.cmake" ]; then
  echo "$prefix"
  exit 0
fi

version=$(dpkg-query -W -f='${Version}' libbenchmark-dev)
work=$deps/benchmark-source
rm -rf "$work"
mkdir -p "$work/lists/partial"
echo "deb-src http://deb.debian.org/debian bookworm main" >"$work/sources.list"
apt_options=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
{
  apt-get "${apt_options[@]}" update
  (cd "$work" && apt-get "${apt_options[@]}" source --download-only "benchmark=$version")
} >"$work/fetch.log" 2>&1 || { tail -20 "$work/fetch.log" >&2; exit 1; }
tar -xzf "$work"/benchmark_*.orig.tar.gz -C "$work"
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'benchmark-[0-9]*' | head -1)

cmake -S "$source_dir" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBENCHMARK_ENABLE_TESTING=OFF \
  -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
  -DBENCHMARK_ENABLE_INSTALL=ON -DBENCHMARK_INSTALL_DOCS=OFF \
  -DHAVE_STD_REGEX=ON -DRUN_HAVE_STD_REGEX=0 -DHAVE_STEADY_CLOCK=ON -DRUN_HAVE_STEADY_CLOCK=0 \
  >"$work/build.log" 2>&1 &&
  cmake --build "$work/build" >>"$work/build.log" 2>&1 &&
  cmake --install "$work/build" >>"$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log" >&2; exit 1; }
echo "$prefix"
