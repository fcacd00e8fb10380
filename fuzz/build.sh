#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer; they are not part of the CMake build.
#   fuzz/build.sh            -> fuzz/out/fuzz_accumulator, fuzz/out/fuzz_boundary
#   OUT=/tmp/f fuzz/build.sh -> somewhere else
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../src"
out=${OUT:-"$here/out"}
cxx=${CXX:-clang++}
mkdir -p "$out"
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I$src"

$cxx $flags $(xml2-config --cflags) "$here/fuzz_accumulator.cpp" "$src/service/SoapXMLAccumulator.cpp" \
    $(xml2-config --libs) -o "$out/fuzz_accumulator"
$cxx $flags "$here/fuzz_boundary.cpp" "$src/service/MTOMHelpers.cpp" -o "$out/fuzz_boundary"
echo "built into $out"
