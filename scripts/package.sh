#!/usr/bin/env bash
# Makes the release products into dist/:
#   dist/velk-plugin-VERSION-win32.zip   the Windows plug-in archive: the stripped
#                                        32-bit Release module, its catalogues,
#                                        readme.txt and pluginst.inf
#   dist/velk-plugin_VERSION_amd64.deb   the Linux package (module, velkfs, phonesim)
# Release builds go into build-release-win/ and build-release/, without tests.
# Usage: scripts/package.sh
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dist="$source_dir/dist"
mkdir -p "$dist"

for tool in zip i686-w64-mingw32-g++-posix msgfmt dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/install-deps.sh all)" >&2; exit 1; }
done

configure() {  # BUILD_DIR [cmake options...]
  local build="$1"
  shift
  cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELK_TESTS=OFF "$@" >/dev/null
}

echo "== Windows archive"
win="$source_dir/build-release-win"
configure "$win" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake"
cmake --build "$win" -j2 --target VelkPlugin velk_catalogues
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cmake --install "$win" --prefix "$stage/velk" --strip >/dev/null
archive="$dist/velk-plugin-$version-win32.zip"
rm -f "$archive"
# The descriptor at the top of the archive, where file managers look for it.
(cd "$stage/velk" && zip -q -r -X "$archive" pluginst.inf VelkPlugin.wfx readme.txt locale)
unzip -l "$archive"

echo "== Linux package"
linux="$source_dir/build-release"
configure "$linux"
cmake --build "$linux" -j2 --target VelkPlugin velkfs phonesim velk_catalogues
(cd "$linux" && cpack -G DEB >/dev/null)
deb="$(ls -t "$dist"/velk-plugin_"$version"_*.deb | head -n 1)"
dpkg-deb --contents "$deb"

echo
ls -l "$archive" "$deb"
