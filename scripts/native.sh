#!/usr/bin/env bash
# The library as a native host gets it. Builds and installs the package with the
# commands of docs/native.md (build dir build/native, prefix build/native/prefix),
# checks the installed files, the SONAME and that libbrevane.so exports the
# public API and nothing else, then builds and runs consumers of the installed
# package and compares what they print:
#   CMake find_package   C and C++, against libbrevane.so and libbrevane.a
#   pkg-config           C (-std=c11 -Wall -Wextra -Werror -pedantic) and C++,
#                        shared and --static
#   rustc                the C functions declared by hand, no crates
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/native
prefix=$build/prefix
work=$build/consumers
page=$root/tests/native/page.html
jobs=$(nproc)

fail() { echo "native: $*" >&2; exit 1; }

rm -rf "$prefix" "$work"
mkdir -p "$work"
cmake -S . -B "$build" -G Ninja -DBREVANE_PYTHON=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$prefix/lib
for file in include/brevane.h include/brevane/brevane.hpp lib/libbrevane.a \
            lib/cmake/brevane/brevaneConfig.cmake lib/cmake/brevane/brevaneConfigVersion.cmake \
            lib/pkgconfig/brevane.pc; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done
version=$(sed -n 's/^Version: //p' "$libdir/pkgconfig/brevane.pc")
soname=$(readelf -d "$libdir/libbrevane.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libbrevane.so.${version%%.*}" ] || fail "SONAME $soname for version $version"
[ -f "$libdir/$soname" ] || fail "no $soname beside libbrevane.so"
echo "installed brevane $version into $prefix (SONAME $soname)"

# Exports: exactly the functions the public headers declare, C and C++.
nm -D --defined-only "$libdir/libbrevane.so" | awk '{print $NF}' | sort >"$work/exported"
grep -v '^brevane_' "$work/exported" | c++filt | sed 's/\[abi:cxx11\]//; s/(.*//' |
  sort >"$work/exported_cpp"
grep '^brevane_' "$work/exported" >"$work/exported_c" || true
grep -ho 'BREVANE_API[^(]*\bbrevane_[a-z_]*(' include/brevane.h |
  sed 's/.*\b\(brevane_[a-z_]*\)(/\1/' | sort >"$work/declared_c"
grep -ho 'BREVANE_API[^(]*\b[a-z_][a-z_0-9]*(' include/brevane/*.hpp |
  sed 's/.*\b\([a-z_][a-z_0-9]*\)(/brevane::\1/' | sort >"$work/declared_cpp"
diff -u "$work/declared_c" "$work/exported_c" || fail "C exports differ from brevane.h"
diff -u "$work/declared_cpp" "$work/exported_cpp" || fail "C++ exports differ from brevane/*.hpp"
echo "exports: $(wc -l <"$work/exported_c") C functions, $(wc -l <"$work/exported_cpp") C++ functions, nothing else"

# Consumers through CMake.
cmake -S tests/native/consumer -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" -j"$jobs" >/dev/null
# Consumers through pkg-config, as a Makefile would write them.
export PKG_CONFIG_PATH=$libdir/pkgconfig
cflags=$(pkg-config --cflags brevane)
libs=$(pkg-config --libs brevane)
static_libs=$(pkg-config --static --libs brevane | sed 's/-lbrevane\b/-l:libbrevane.a/')
strict_c=(-std=c11 -Wall -Wextra -Werror -pedantic)
strict_cpp=(-std=c++20 -Wall -Wextra -Werror -pedantic)
cc "${strict_c[@]}" $cflags tests/native/consumer/consumer.c $libs -o "$work/pc_c"
c++ "${strict_cpp[@]}" $cflags tests/native/consumer/consumer.cpp $libs -o "$work/pc_cpp"
cc "${strict_c[@]}" $cflags tests/native/consumer/consumer.c $static_libs -o "$work/pc_c_static"
c++ "${strict_cpp[@]}" $cflags tests/native/consumer/consumer.cpp $static_libs \
  -o "$work/pc_cpp_static"
# The header is C++ too: a C++ file that includes only brevane.h.
printf '#include <brevane.h>\nint main() { return brevane_version()[0] == 0; }\n' >"$work/c_header.cpp"
c++ "${strict_cpp[@]}" $cflags "$work/c_header.cpp" $libs -o "$work/c_header"
# Rust, with nothing but rustc.
rustc --edition 2021 -O tests/native/consumer.rs -o "$work/rust" -L "$libdir" -l brevane

export LD_LIBRARY_PATH=$libdir
LD_LIBRARY_PATH= ldd "$work/pc_c_static" | grep -q libbrevane && fail "static consumer needs libbrevane.so"
"$work/c_header"
"$work/cmake/consumer_c" "$page" >"$work/expected"
for program in cmake/consumer_cpp cmake/consumer_c_static cmake/consumer_cpp_static \
               pc_c pc_cpp pc_c_static pc_cpp_static; do
  "$work/$program" "$page" >"$work/out" || fail "$program failed"
  diff -u "$work/expected" "$work/out" || fail "$program printed something else"
done
for line in "brevane $version" "verified" "predicted: the binding's hash" \
            "re-embedded: the same page"; do
  grep -qxF "$line" "$work/expected" || fail "consumers did not print: $line"
done
"$work/rust" "$page" >"$work/rust_out" || fail "the Rust consumer failed"

# The Rust program's binding against the page's bytes outside its element,
# hashed by coreutils.
read -r start length < <(sed -n 's/^element: \([0-9]*\)+\([0-9]*\)$/\1 \2/p' "$work/rust_out")
outside=$( { head -c "$start" "$page"; tail -c +$((start + length + 1)) "$page"; } |
          sha256sum | cut -d' ' -f1)
grep -qxF "bound: sha256 $outside excluding $start+$length" "$work/rust_out" ||
  fail "the Rust consumer's binding is not the digest of the bytes outside $start+$length"
grep -qF "$outside" "$work/expected" || fail "C and Rust consumers disagree on the hash"
echo "consumers agree: CMake (C, C++, shared, static), pkg-config (C11 strict, C++, shared, static), Rust"
cat "$work/expected" "$work/rust_out"
