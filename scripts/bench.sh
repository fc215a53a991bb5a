#!/usr/bin/env bash
# Builds the module, velkfs and phonesim (Release, in build-bench) and measures
# downloads (one of them with a damaged reply), uploads, a 1000-entry listing
# and a slow phone against the emulator, paced at 115200 and 256000 baud and
# unpaced. Prints a table and one "BENCH ..." line per case. Takes about four
# minutes on two cores.
# Usage: scripts/bench.sh [--quick]   (--quick: the 128 KiB cases and the listings)
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$source_dir/build-bench"
generator=()
if [ ! -f "$build_dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j2 --target VelkPlugin velkfs phonesim >/dev/null
# The launcher that measures each velkfs run.
if [ ! -x "$build_dir/bin/bench-measure" ] || [ "$source_dir/bench/measure.cpp" -nt "$build_dir/bin/bench-measure" ]; then
  c++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$build_dir/bin/bench-measure" "$source_dir/bench/measure.cpp"
fi
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(uname -sr)"
exec python3 "$source_dir/bench/bench.py" --bin "$build_dir/bin" "$@"
