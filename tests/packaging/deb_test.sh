#!/usr/bin/env bash
# Builds the Debian package with cpack -G DEB, checks its control fields and contents, and
# runs the command it holds, unpacked into a temporary folder: --version and a small run.
# Environment (set by CTest): VANDREL_BUILD_DIR, VANDREL_VERSION, VANDREL_SOURCE_DIR;
# VANDREL_EXPECT_CLI=1; VANDREL_PYTHONDIR and VANDREL_OCTAVEDIR where those were built.
set -euo pipefail
build="${VANDREL_BUILD_DIR:?}"
version="${VANDREL_VERSION:?}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fail() { echo "deb_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/packages") > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack -G DEB failed"; }
debs=("$scratch"/packages/vandrel_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  fail "no single vandrel_${version}_<arch>.deb in the cpack output"
fi
deb="${debs[0]}"
echo "deb_test: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vandrel ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version)"
[ "$(field Maintainer)" = "the vandrel authors" ] || fail "Maintainer is $(field Maintainer)"
depends="$(field Depends)"
echo "Depends: $depends"
for library in libc6 libstdc++6; do
  [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library"
done

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|/$||' > "$scratch/contents"
expected=(./usr/include/vandrel/vandrel.h ./usr/include/vandrel/estimate.h ./usr/include/vandrel/error.h
          ./usr/include/vandrel/point.h ./usr/lib/libvandrel.a ./usr/lib/cmake/vandrel/vandrelConfig.cmake
          ./usr/lib/pkgconfig/vandrel.pc ./usr/share/doc/vandrel/LICENSE)
[ "${VANDREL_EXPECT_CLI:-}" = 1 ] && expected+=(./usr/bin/vandrel)
[ -n "${VANDREL_PYTHONDIR:-}" ] && expected+=("./usr/$VANDREL_PYTHONDIR/vandrel/__init__.py")
[ -n "${VANDREL_OCTAVEDIR:-}" ] && expected+=("./usr/$VANDREL_OCTAVEDIR/Vandrel_multicore_mex.mex"
                                              "./usr/$VANDREL_OCTAVEDIR/octave_fallback/knnsearch.mex")
for path in "${expected[@]}"; do
  grep -qxF "$path" "$scratch/contents" || fail "the package lacks $path"
done
# Debian packages install under /usr only.
if grep -v -e '^\.$' -e '^\./usr$' -e '^\./usr/' "$scratch/contents"; then fail "files outside /usr"; fi

if [ "${VANDREL_EXPECT_CLI:-}" = 1 ]; then
  dpkg-deb -x "$deb" "$scratch/root"
  program="$scratch/root/usr/bin/vandrel"
  [ "$("$program" --version)" = "vandrel $version" ] || fail "vandrel --version"
  # Every tenth point of the sample scan: a tenth of its density.
  awk 'NR % 10 == 1' "${VANDREL_SOURCE_DIR:?}/data/bunny_20k_noisy.xyz" > "$scratch/noisy.xyz"
  "$program" "$scratch/noisy.xyz" "$scratch/denoised.xyz" --sigma 0.005 --density 2270.7 --threads 2 --quiet ||
    fail "the packaged vandrel failed to denoise"
  [ "$(wc -l < "$scratch/denoised.xyz")" -eq "$(wc -l < "$scratch/noisy.xyz")" ] || fail "the output has another number of points"
  ! cmp -s "$scratch/noisy.xyz" "$scratch/denoised.xyz" || fail "the output equals the input"
fi
echo "deb_test: ok"
