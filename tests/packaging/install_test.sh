#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as a user would: builds the
# consumer project against it with find_package(vandrel) and with pkg-config (both builds
# must print the same, bit-identical results), compiles each public header alone, and runs
# the installed command, Python package and Octave plug-in where they were built.
# Environment (set by CTest): VANDREL_BUILD_DIR, VANDREL_VERSION; VANDREL_EXPECT_CLI=1;
# VANDREL_PYTHON and VANDREL_PYTHONDIR; VANDREL_OCTAVEDIR and VANDREL_OCTAVE.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${VANDREL_BUILD_DIR:?}"
version="${VANDREL_VERSION:?}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$scratch/install.log" || { cat "$scratch/install.log"; fail "cmake --install failed"; }

for file in include/vandrel/vandrel.h include/vandrel/estimate.h include/vandrel/error.h include/vandrel/point.h \
            lib/libvandrel.a lib/libvandrel_core.a include/vandrel/version.h lib/cmake/vandrel/vandrelConfig.cmake lib/cmake/vandrel/vandrelConfigVersion.cmake \
            lib/cmake/vandrel/vandrelTargets.cmake lib/pkgconfig/vandrel.pc share/doc/vandrel/LICENSE; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
# Each public header compiles on its own, with nothing but the installed include folder.
for header in "$prefix"/include/vandrel/*.h; do
  echo "#include <vandrel/$(basename "$header")>" |
    c++ -std=c++20 -fsyntax-only -Wall -Wextra -I"$prefix/include" -x c++ - || fail "$header does not compile alone"
done

# find_package(vandrel CONFIG) and vandrel::vandrel.
cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  > "$scratch/consumer.log" 2>&1 || { cat "$scratch/consumer.log"; fail "the consumer project does not configure"; }
cmake --build "$scratch/consumer" > "$scratch/consumer-build.log" 2>&1 ||
  { cat "$scratch/consumer-build.log"; fail "the consumer project does not build"; }
"$scratch/consumer/vandrel_consumer" > "$scratch/cmake.out" || fail "the consumer built with CMake failed"
cat "$scratch/cmake.out"
[ "$(head -n 1 "$scratch/cmake.out")" = "vandrel $version" ] || fail "the consumer reports another version than $version"
grep -qx "negative sigma: Vandrel:invalidSigma" "$scratch/cmake.out" || fail "no Vandrel:invalidSigma for a negative sigma"
# The filter pulls the noisy plane patch towards z = 0: at least a third of the noise goes.
awk '/^rms height/ { if (!($6 < 0.67 * $4)) exit 1 }' "$scratch/cmake.out" || fail "the filtered points are not closer to the plane"

# pkg-config, from the installed vandrel.pc alone.
flags="$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs vandrel)" || fail "pkg-config does not find vandrel"
[ "$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --modversion vandrel)" = "$version" ] || fail "vandrel.pc has another version"
# shellcheck disable=SC2086  # the flags are words
c++ -std=c++20 -O2 "$here/consumer/main.cpp" -o "$scratch/pkg_config_consumer" $flags || fail "the pkg-config build failed"
"$scratch/pkg_config_consumer" > "$scratch/pkg-config.out" || fail "the consumer built with pkg-config failed"
cmp -s "$scratch/cmake.out" "$scratch/pkg-config.out" || fail "the CMake and pkg-config builds print different results"

if [ "${VANDREL_EXPECT_CLI:-}" = 1 ]; then
  [ "$("$prefix/bin/vandrel" --version)" = "vandrel $version" ] || fail "bin/vandrel --version"
fi

if [ -n "${VANDREL_PYTHON:-}" ]; then
  # From the scratch folder, so that nothing of the source or build tree can be imported.
  (cd "$scratch" && PYTHONPATH="$prefix/${VANDREL_PYTHONDIR:?}" PYTHONDONTWRITEBYTECODE=1 "$VANDREL_PYTHON" -c "
import sys, numpy as np, vandrel
assert vandrel.__file__.startswith(sys.argv[1]), vandrel.__file__
assert vandrel.__version__ == sys.argv[2], vandrel.__version__
g = np.arange(20, dtype=np.float32) * 0.05
x, y = np.meshgrid(g, g)
noisy = np.column_stack([x.ravel(), y.ravel(), np.random.default_rng(1).normal(0, 0.01, 400)]).astype(np.float32)
assert vandrel.denoise(noisy, sigma=0.01, density=400).shape == (400, 3)
print('python package', vandrel.__version__, 'from', vandrel.__file__)
" "$prefix" "$version") || fail "the installed Python package does not import or run"
fi

if [ -n "${VANDREL_OCTAVEDIR:-}" ]; then
  plugin_dir="$prefix/$VANDREL_OCTAVEDIR"
  for file in Vandrel_multicore_mex.mex Vandrel_multicore_mex.m octave_fallback/rangesearch.mex octave_fallback/knnsearch.mex; do
    [ -f "$plugin_dir/$file" ] || fail "$VANDREL_OCTAVEDIR/$file is not installed"
  done
  if [ -n "${VANDREL_OCTAVE:-}" ]; then
    "$VANDREL_OCTAVE" --no-gui --no-window-system --norc --quiet --eval "
      addpath('$plugin_dir'); addpath('$plugin_dir/octave_fallback', '-end');
      [x, y] = meshgrid(single(0:19) * 0.05); noisy = [x(:), y(:), 0.01 * single(randn(400, 1))];
      filtered = Vandrel_multicore_mex(noisy, single(0.01), single(400));
      assert(isa(filtered, 'single') && isequal(size(filtered), [400, 3]));
      printf('octave plug-in from %s\n', which('Vandrel_multicore_mex'));" || fail "the installed Octave plug-in does not run"
  fi
fi
echo "install_test: ok"
