#!/usr/bin/env bash
# Installs what the filter needs on Debian 12. Safe to run again: apt-get skips what is
# already installed.
#   install-deps.sh            everything: build, all tests, the plug-in, Python, fuzzers, benchmarks
#   install-deps.sh --minimal  the library, the command line and their tests only
set -euo pipefail

minimal_packages=(
  g++ cmake make pkg-config
  libnanoflann-dev                        # k-d tree for the stand-alone neighbour searches
  libcli11-dev                            # command-line parsing
  liblzf-dev                              # LZF, for PCD files with DATA binary_compressed
  libgtest-dev                            # tests
  dpkg-dev                                # dpkg-shlibdeps: the dependencies of the .deb that cpack -G DEB makes
)
optional_packages=(
  libbenchmark-dev                        # micro-benchmarks (bench/micro_bench)
  clang libclang-rt-14-dev                # libFuzzer harnesses of the readers (fuzz/, scripts/run-fuzzers.sh)
  octave octave-dev                       # plug-in host for the MATLAB/Octave tests
  python3 python3-dev python3-numpy python3-pybind11 pybind11-dev python3-pytest python3-setuptools python3-pip
  python3-tqdm                            # progress bar of the Python module (optional there), for its tests
  python3-dask python3-distributed        # vandrel.dask: tiles filtered as tasks on a dask.distributed cluster, and its tests
  libcgal-dev libeigen3-dev               # benchmark peer only (bench/jet_smooth: CGAL jet smoothing, needs Eigen)
  libtbb-dev                              # benchmark peer only: CGAL's parallel jet smoothing, the peer at 2 threads
)

case "${1:-}" in
  "") packages=("${minimal_packages[@]}" "${optional_packages[@]}") ;;
  --minimal) packages=("${minimal_packages[@]}") ;;
  *) echo "usage: $0 [--minimal]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
