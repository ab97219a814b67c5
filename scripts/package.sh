#!/usr/bin/env bash
# The release as a user gets it, for Linux and for 32-bit Windows:
#   1. the library alone is built twice, in two folders, without ccache, and
#      the two libraries and the two CPack archives must be byte-identical;
#   2. the first build is installed into a prefix, which is then
#      moved: the package must still be found, its SHA256SUMS must hold, and
#      no installed file may name the build or the first prefix; the archive
#      must unpack to the same files;
#   3. every path the installed guides name is in the installed tree;
#   4. tests/consumer is built against the moved prefix (CMake package, and
#      on Linux once more with pkg-config) and run against the installed
#      library: natively, or cross-built and under Wine, where it also reads
#      the DLL's version resource.
# Archives and logs stay in build/package. Times come from SOURCE_DATE_EPOCH,
# by default the last commit's.
# Usage: scripts/package.sh [linux|windows]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)

export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
export WINEDEBUG=-all
# A cache hit would make the second build a copy of the first.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
out=$source_dir/build/package
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package: $*" >&2; exit 1; }
quiet() { "$@" >>"$out/log.txt" 2>&1 || { tail -40 "$out/log.txt" >&2; fail "failed: $*"; }; }

# The guide points at lines of the minimal host ("minimal_host.c:N name"):
# each line must still hold what the guide says it does.
grep -o 'minimal_host\.c:[0-9]* [^`]*' docs/host-guide.md | while read -r ref name; do
  sed -n "${ref#*:}p" examples/minimal_host/minimal_host.c | grep -qF -- "$name" ||
    fail "docs/host-guide.md: line ${ref#*:} of minimal_host.c does not hold '$name'"
done

# The installed guides are read by someone holding only the release: each
# path they name must be in the installed tree at $1 (for platform $2).
# Paths are named from the top of the tree: in code spans that hold a
# '/', and in code blocks as words starting with a top folder; relative
# links are followed from the guide's own folder.
guide_paths() {
  awk '/^```/ { block = !block; next }
       block { for (i = 1; i <= NF; ++i) if ($i ~ /^(bin|include|lib|share)\//) print $i; next }
       { line = $0
         while (match(line, /`[^` ]*\/[^` ]*`/)) {
           print substr(line, RSTART + 1, RLENGTH - 2); line = substr(line, RSTART + RLENGTH)
         } }' "$1"
}
check_guide_paths() {
  local prefix=$1 platform=$2 guide path
  for guide in host-guide.md probe.md; do
    [ -f "$prefix/share/doc/oska/$guide" ] || fail "$platform: share/doc/oska/$guide missing"
    while read -r path; do
      path=${path%[.,;:)]}
      case "$path" in
      */*.dll) [ "$platform" = windows ] || continue ;;
      */*.so) [ "$platform" = linux ] || continue ;;
      esac
      [ -e "$prefix/$path" ] ||
        fail "$platform: share/doc/oska/$guide names $path, which the installed tree lacks"
    done < <(guide_paths "$prefix/share/doc/oska/$guide" | sort -u)
    while read -r link; do
      [ -e "$prefix/share/doc/oska/$link" ] ||
        fail "$platform: share/doc/oska/$guide links to $link, which the installed tree lacks"
    done < <(grep -o '](\([^)#:]*\))' "$prefix/share/doc/oska/$guide" | sed 's/^](//; s/)$//' | sort -u)
  done
}

for platform in "${platforms[@]}"; do
  case "$platform" in
  linux) library=lib/liboska.so; archive_glob='oska-*-linux-*.tar.gz'; toolchain=() ;;
  windows) library=bin/oska.dll; archive_glob='oska-*-win32.zip'
           toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/i686-w64-mingw32.cmake") ;;
  *) fail "unknown platform $platform" ;;
  esac
  echo "--- $platform: two release builds"
  for run in a b; do
    build=$work/$platform-$run
    quiet cmake --preset "release-$platform" -B "$build"
    quiet cmake --build "$build" --target oska oska_probe
    (cd "$build" && quiet cpack -B "$build/dist")
  done
  # The shader library and oska-probe, both shipped.
  for built in $(cd "$work/$platform-a" && ls bin/* | grep -E 'oska(_probe)?\.(dll|so)$'); do
    cmp "$work/$platform-a/$built" "$work/$platform-b/$built" ||
      fail "$platform: the two builds' $built differ"
    # Shipped without debug information, and (Windows) without a link time.
    file=$work/$platform-a/$built
    if [ "$platform" = windows ]; then
      ! i686-w64-mingw32-objdump -h "$file" | grep -q debug || fail "$built has debug sections"
      # The COFF header's time stamp: 8 bytes into the header that offset 60 names.
      header=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
      stamp=$(od -An -tu4 -j$((header + 8)) -N4 "$file" | tr -d ' ')
      [ "$stamp" = 0 ] || fail "$built carries a link time ($stamp)"
    else
      ! readelf -S "$file" | grep -q -E '\.debug|\.symtab' || fail "$built is not stripped"
    fi
  done
  archive=$(cd "$work/$platform-a/dist" && ls $archive_glob)
  cmp "$work/$platform-a/dist/$archive" "$work/$platform-b/dist/$archive" ||
    fail "$platform: the two builds' $archive differ"
  cp "$work/$platform-a/dist/$archive" "$out/"
  echo "$platform: $archive identical in both builds"
  (cd "$out" && sha256sum "$archive")

  echo "--- $platform: install, move, verify"
  quiet cmake --install "$work/$platform-a" --prefix "$work/prefix-$platform"
  mv "$work/prefix-$platform" "$work/moved-$platform"
  prefix=$work/moved-$platform
  (cd "$prefix" && sha256sum --quiet -c share/doc/oska/SHA256SUMS) ||
    fail "$platform: SHA256SUMS does not hold"
  if grep -rl -e "$work" -e "$source_dir" "$prefix"; then
    fail "$platform: installed files name the build or install folders"
  fi
  mkdir -p "$work/unpacked-$platform"
  (cd "$work/unpacked-$platform" && cmake -E tar xf "$out/$archive")
  diff -r "$work/unpacked-$platform/${archive%.tar.gz}" "$prefix" >/dev/null 2>&1 ||
    diff -r "$work/unpacked-$platform/${archive%.zip}" "$prefix" ||
    fail "$platform: the archive and the installed tree differ"
  [ -f "$prefix/$library" ] || fail "$platform: $library missing"
  check_guide_paths "$prefix" "$platform"

  echo "--- $platform: consumer project"
  modes=(package)
  [ "$platform" = linux ] && modes+=(pkgconfig)
  for mode in "${modes[@]}"; do
    consumer=$work/consumer-$platform-$mode
    args=(-DCMAKE_PREFIX_PATH="$prefix")
    if [ "$mode" = pkgconfig ]; then
      args=(-DOSKA_CONSUMER_PKGCONFIG=ON)
      export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
    fi
    quiet cmake -S tests/consumer -B "$consumer" -G Ninja "${toolchain[@]}" "${args[@]}"
    quiet cmake --build "$consumer"
    ctest --test-dir "$consumer" --output-on-failure | tee -a "$out/log.txt" | tail -3
    unset PKG_CONFIG_PATH
    if [ "$platform" = windows ]; then
      ctest --test-dir "$consumer" -R version_resource -V | sed -n 's/^[0-9]*: //p' |
        grep -i -E "version|name|description" | tee "$out/version-resource.txt"
    fi
  done
done
echo "archives in build/package:"
(cd "$out" && sha256sum oska-*)
