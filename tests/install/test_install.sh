#!/bin/bash
# The installed project, used as a user would, with the build and source
# trees out of reach:
#
#   test_install.sh BUILD_DIR SAMPLE_TLM [C_FLAGS...]
#
# installs BUILD_DIR into a temporary prefix, then, in a mount namespace
# where a tmpfs covers the source tree (and so the build tree inside it) and
# with only the prefix's bin/ added to a plain PATH: runs hlc_edr on the
# sample, the dump, the quick-look and a batch; compiles and runs a C reader
# with `pkg-config --cflags --libs hlc_edr` (C_FLAGS added, for sanitizer
# builds) and a small CMake project with find_package(hlc_edr), against the
# shared and the static library; finds the Python package and its metadata
# with Debian's python3 and opens the EDRs' products in xarray through the
# engine "hlc_edr" that it registers; opens every man page with `man -l`. Then makes the
# Debian package with cpack, checks its contents and dependencies with
# dpkg-deb, unpacks it into a scratch root and runs the program from there.
set -euo pipefail
build=$(cd "$1" && pwd)
sample=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
cflags=("$@")
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
work=$(mktemp -d /tmp/hlc_install_XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
cp "$sample" "$work/sample.tlm"

# What lies where.
for f in bin/hlc_edr bin/hlc_edr_dump bin/hlc_edr_quicklook bin/hlc_edr_batch bin/hlc_edr_live bin/tlmbuild \
  lib/libhlc_edr.a lib/pkgconfig/hlc_edr.pc lib/cmake/hlc_edr/hlc_edrConfig.cmake \
  include/hlc_edr/con_hk.h include/hlc_edr/con_hk_api.h include/hlc_edr/hlc_edr_const.h \
  include/hlc_edr/hlc_edr_layout.h include/hlc_edr/hlc_edr_module.h; do
  [[ -e $prefix/$f ]] || fail "$f not installed"
done
soname=$(objdump -p "$prefix/lib/libhlc_edr.so" | awk '$1 == "SONAME" {print $2}')
[[ $soname == libhlc_edr.so.* && -e $prefix/lib/$soname ]] || fail "no library with a soname: $soname"
# Nothing installed names the build or the source tree: no text file, no
# program's or library's data or search path (their debug information may,
# and so may a sanitizer build's diagnostics, which name the source file of
# each check; those names are left out of what is judged).
sanitized=$(sed -n 's/^HLC_SANITIZE:BOOL=//p' "$build/CMakeCache.txt")
while IFS= read -r -d '' f; do
  if [[ $(head -c 4 "$f") == $'\x7fELF' ]]; then
    { strings -d "$f"; objdump -p "$f" | grep -E 'RPATH|RUNPATH' || true; } >"$work/seen"
  elif [[ $(head -c 7 "$f") == '!<arch>' ]]; then
    rm -rf "$work/ar" && mkdir "$work/ar" && (cd "$work/ar" && ar x "$f")
    for o in "$work"/ar/*; do strings -d "$o"; done >"$work/seen"
  else
    cp "$f" "$work/seen"
  fi
  if [[ $sanitized == ON ]]; then
    grep -vE "^$source_dir/[A-Za-z0-9_./-]+\.(c|cpp|h)$" "$work/seen" >"$work/seen.judged" || true
    mv "$work/seen.judged" "$work/seen"
  fi
  if grep -qF -e "$build" -e "$source_dir/" "$work/seen"; then
    fail "$f names the build or the source tree"
  fi
done < <(find "$prefix" -type f -print0)

# The C reader and the CMake project, built outside the namespace (the
# compilers need nothing of the trees either).
cat >"$work/reader.c" <<'EOF'
/* Writes three Concentrator records through the registry, then reads them
   back through con_hk's own operations. */
#include <stdio.h>
#include <string.h>

#include "con_hk_api.h"
#include "mfhdf.h"

int main(int argc, char **argv) {
  const hlc_edr_product *p = hlc_edr_find_product("con_hk");
  if (argc != 2 || p == NULL || p != &hlc_edr_product_con_hk) return 2;
  int32 f = Hopen(argv[1], DFACC_CREATE, 0);
  Vstart(f);
  int32 sd = SDstart(argv[1], DFACC_RDWR), an = ANstart(f);
  if (p->init_wr(f, sd, an, "tlm_edr_data") != 0) return 3;
  for (uint32 i = 0; i < 3; ++i) {
    struct Concentrator_Housekeeping r;
    memset(&r, 0, sizeof r);
    r.sclk_seconds = 1000 + i;
    if (p->write(&r, -1) != 0) return 4;
  }
  p->close_wr();
  ANend(an);
  SDend(sd);
  Vend(f);
  Hclose(f);
  f = Hopen(argv[1], DFACC_READ, 0);
  Vstart(f);
  sd = SDstart(argv[1], DFACC_READ);
  const int32 n = init_rd_con_hk(f, sd, "r");
  struct Concentrator_Housekeeping r;
  uint32 sum = 0;
  while (read_con_hk(&r, -1) == 0) sum += r.sclk_seconds;
  close_rd_con_hk();
  SDend(sd);
  Vend(f);
  Hclose(f);
  printf("%d records, %u\n", n, sum);
  return 0;
}
EOF
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a pc <<<"$(pkg-config --cflags --libs hlc_edr)"
cc "${cflags[@]}" -o "$work/reader_pc" "$work/reader.c" "${pc[@]}" -Wl,-rpath,"$prefix/lib" ||
  fail "the C reader does not build with pkg-config"
mkdir -p "$work/project"
cat >"$work/project/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(reader C)
find_package(hlc_edr 4 REQUIRED)
add_executable(reader_shared reader.c)
target_link_libraries(reader_shared PRIVATE hlc_edr::hlc_edr)
add_executable(reader_static reader.c)
target_link_libraries(reader_static PRIVATE hlc_edr::hlc_edr_static)
EOF
cp "$work/reader.c" "$work/project/"
(cd "$work/project" &&
  cmake -S . -B b -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="${cflags[*]}" \
    -DCMAKE_EXE_LINKER_FLAGS="${cflags[*]}" >/dev/null &&
  cmake --build b >/dev/null) || fail "the CMake project does not build with find_package(hlc_edr)"

# The installed tree, the only one in reach.
cat >"$work/use.sh" <<'EOF'
set -euo pipefail
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
cd "$WORK"
# What loads the record library into python: in a sanitizer build with the
# sanitizers' runtimes preloaded, and no leak check of python itself.
python_env=(env)
if [[ $SANITIZED == ON ]]; then
  python_env=(env LD_PRELOAD="$SANITIZER_RUNTIMES" ASAN_OPTIONS=detect_leaks=0)
fi
[[ $(command -v hlc_edr) == "$PREFIX/bin/hlc_edr" ]] || fail "hlc_edr is not the installed one"
for unit in gem gim con mec; do
  hlc_edr -inst $unit -tlm sample.tlm -edr sample_$unit.hdf >sample_$unit.log ||
    fail "hlc_edr -inst $unit: $(tail -n 1 sample_$unit.log)"
done
hlc_edr -inst acs -tlm sample.tlm -edr sample_quats.txt >sample_acs.log || fail "hlc_edr -inst acs"
hlc_edr_dump sample_gim.hdf >listing.txt || fail "the dump's listing"
grep -q '^gim_normal ' listing.txt || fail "the listing lacks gim_normal"
[[ $(hlc_edr_dump --products | wc -l) == 12 ]] || fail "the dump's product list"
hlc_edr_dump sample_con.hdf con_hk --format jsonl >con.jsonl || fail "the dump's JSON Lines"
hlc_edr_dump sample_gem.hdf --netcdf gem.nc >/dev/null || fail "the dump's export"
"${python_env[@]}" hlc_edr_quicklook -o quicklook sample_con.hdf >drawn.txt || fail "the quick-look"
[[ -s quicklook/sample_con_Concentrator_Housekeeping.png ]] || fail "no quick-look PNG"
mkdir -p tlm && cp sample.tlm tlm/pass.tlm
"${python_env[@]}" hlc_edr_batch --quicklook -u con,acs -o batch tlm/pass.tlm >batch.log 2>&1 ||
  fail "the batch: $(tail -n 3 batch.log)"
grep -q 'ok' batch/summary.csv || fail "the batch's summary"
"${python_env[@]}" hlc_edr_live -u con,acs --every-records 4 -o live <tlm/pass.tlm >live.log 2>&1 ||
  fail "the live pass: $(tail -n 3 live.log)"
grep -q 'ok' live/summary.csv || fail "the live pass's summary"
tlmbuild --sample built.tlm && cmp built.tlm sample.tlm || fail "tlmbuild"
./reader_pc c1.hdf | grep -qx '3 records, 3003' || fail "the pkg-config reader"
./project/b/reader_shared c2.hdf | grep -qx '3 records, 3003' || fail "the CMake reader (shared)"
./project/b/reader_static c3.hdf | grep -qx '3 records, 3003' || fail "the CMake reader (static)"
# The package and its metadata, where the prefix keeps them (Debian's
# python3 looks there itself for the prefixes /usr and /usr/local).
PYTHONPATH=$PREFIX/$PYTHON_DIR /usr/bin/python3 -c '
import importlib.metadata, hlc_edr, sys
assert hlc_edr.__file__.startswith(sys.argv[1]), hlc_edr.__file__
assert importlib.metadata.version("hlc_edr") == sys.argv[2]
' "$PREFIX" "$VERSION" || fail "the Python package under the prefix"
# EDRs in xarray from the installed package: the engine that its entry point
# registers, with the record library found beside the package (no
# HLC_EDR_LIBRARY), each product the group of the dump's export.
PYTHONPATH=$PREFIX/$PYTHON_DIR "${python_env[@]}" /usr/bin/python3 -c '
import sys, xarray as xr, hlc_edr
from hlc_edr import _library
edr, export, quats, prefix = sys.argv[1:5]
assert "hlc_edr" in xr.backends.list_engines()
found = hlc_edr.products(edr)
assert list(found) == ["gem_hk", "gem_mancal", "gem_normal", "gem_raw"], found
for product, records in found.items():
    ours = xr.open_dataset(edr, engine="hlc_edr", group=product).load()
    theirs = xr.open_dataset(export, group=product).load()
    for ds in (ours, theirs):  # the making of each: the EDR opened, the export written
        del ds.attrs["date_created"], ds.attrs["history"]
    assert ours.identical(theirs), product
    assert ours.sizes["record"] == records and list(ours.variables) == list(theirs.variables), product
assert _library.library().path.startswith(prefix + "/lib/"), _library.library().path
q = hlc_edr.open_quaternions(quats)
assert q.sizes["record"] == sum(1 for _ in open(quats)), q
' sample_gem.hdf gem.nc sample_quats.txt "$PREFIX" || fail "xarray.open_dataset(engine=\"hlc_edr\") under the prefix"
for page in hlc_edr hlc_edr_dump hlc_edr_quicklook hlc_edr_batch hlc_edr_live tlmbuild; do
  file=$PREFIX/share/man/man1/$page.1
  [[ -s $file ]] || fail "no man page of $page"
  MANWIDTH=80 man -l "$file" 2>man.err | grep -q "$page" || fail "man -l $file: $(cat man.err)"
done
echo "installed tree: every program, the library, the Python package (EDRs in xarray) and the man pages work"
EOF
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
python_dir=$(cd "$prefix" && ls -d lib/python3*/dist-packages)
run_isolated() {
  env -i PATH="$prefix/bin:/usr/bin:/bin" HOME="$work" WORK="$work" PREFIX="$prefix" \
    VERSION="$version" PYTHON_DIR="$python_dir" SANITIZED="$sanitized" \
    SANITIZER_RUNTIMES="${HLC_SANITIZER_RUNTIMES:-}" \
    LSAN_OPTIONS="${LSAN_OPTIONS:-}" ASAN_OPTIONS="${ASAN_OPTIONS:-}" "$@"
}
if unshare --mount true 2>/dev/null; then
  run_isolated unshare --mount bash -c \
    'mount -t tmpfs none "$0" && [[ ! -e "$1" ]] && exec bash "$2"' \
    "$source_dir" "$build/CMakeCache.txt" "$work/use.sh"
else
  echo "note: no mount namespace here; the trees stay in reach"
  run_isolated bash "$work/use.sh"
fi

# The Debian package.
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >cpack.log 2>&1) ||
  fail "cpack: $(tail -n 5 "$work/cpack.log")"
deb=$(ls "$work"/deb/*.deb)
dpkg-deb --info "$deb" >"$work/info"
depends=$(sed -n 's/^ Depends: //p' "$work/info")
for dep in libhdf4-0-alt libnetcdf libisal python3 python3-matplotlib parallel; do
  [[ $depends == *"$dep"* ]] || fail "the package does not depend on $dep: $depends"
done
dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/contents"
for f in ./usr/bin/hlc_edr ./usr/bin/hlc_edr_batch ./usr/lib/libhlc_edr.a \
  ./usr/lib/pkgconfig/hlc_edr.pc ./usr/include/hlc_edr/con_hk_api.h \
  ./usr/share/man/man1/hlc_edr.1; do
  grep -qx -- "$f" "$work/contents" || fail "$f not in the package"
done
grep -q '^./usr/lib/python3[^/]*/dist-packages/hlc_edr/__init__.py$' "$work/contents" ||
  fail "the Python package is not in the Debian package"
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/hlc_edr" -inst con -tlm "$work/sample.tlm" -edr "$work/root.hdf" \
  >"$work/root.log" || fail "the unpacked hlc_edr: $(tail -n 1 "$work/root.log")"
tail -n 1 "$work/root.log" | grep -qx 'Program run completed successfully.' || fail "unpacked run"
echo "Debian package $(basename "$deb"): contents, dependencies and the unpacked program checked"
