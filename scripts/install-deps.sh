#!/usr/bin/env bash
# Installs what building and testing oska needs on Debian 12, and nothing
# when it is all there already. Run as root (or with sudo available).
# Usage: scripts/install-deps.sh [--check]
#   --check  installs nothing; fails, naming them, when packages are missing
set -euo pipefail
check=false
[ "${1:-}" != --check ] || check=true

packages=(
  # the library, its tests and benchmarks
  cmake ninja-build g++ clang googletest libgtest-dev libgmock-dev libbenchmark-dev
  # the 32-bit Windows DLL, and Wine to run its tests
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386
  # oska-render
  libembree-dev libtbb-dev libopenimageio-dev openimageio-tools nlohmann-json3-dev libtinyobjloader-dev
  # checking: sanitizer runtimes for clang, fuzzing, memory, coverage, static analysis
  libclang-rt-14-dev valgrind lcov gcovr clang-tidy cppcheck
  # the lookdev page of oska-render: its HTTP server, and the browser that tests it
  pkg-config libmicrohttpd-dev chromium chromium-driver python3-selenium
)
# Node and npm fetch the page's plotting library and the lint of its modules
# (installed by `npm ci` with the rest); a Node.js that brings its
# own npm is kept as it is.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

# The page's npm packages, as the lockfile pins them, once per checkout.
root="$(cd "$(dirname "$0")/.." && pwd)"
npm_current() {
  [ -f "$root/node_modules/.package-lock.json" ] &&
    [ ! "$root/package-lock.json" -nt "$root/node_modules/.package-lock.json" ]
}
npm_packages() {
  npm_current || (cd "$root" && npm ci --ignore-scripts --no-audit --no-fund)
}

# One query for every package: dpkg-query lists those it knows with their
# status (by name without architecture) and is silent about the rest.
declare -A installed=()
while read -r name status; do
  if [ "$status" = "install ok installed" ]; then installed[$name]=1; fi
done < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for package in "${packages[@]}"; do
  [ -n "${installed[${package%%:*}]:-}" ] || missing+=("$package")
done
if $check; then
  npm_current || missing+=("node_modules")
  [ ${#missing[@]} -eq 0 ] || { echo "missing: ${missing[*]}"; exit 1; }
  exit 0
fi
if [ ${#missing[@]} -eq 0 ]; then
  npm_packages
  exit 0
fi

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
npm_packages
