function build_mex(output_dir)
% BUILD_MEX  Builds the Vandrel_multicore_mex plug-in from inside GNU Octave or MATLAB.
%   build_mex          builds it into the folder of this script (mex/)
%   build_mex(folder)  builds it into FOLDER
%
% Compiles the filter (core/, numeric/) and the MEX layer (mex/) in one step with
% Octave's mkoctfile --mex or MATLAB's mex, and copies the help file
% Vandrel_multicore_mex.m beside the plug-in. In Octave it also builds the stand-ins for
% rangesearch and knnsearch into the folder octave_fallback/ beside it. Needs a C++20
% compiler with OpenMP and, for the stand-ins, nanoflann (header-only; on Debian
% libnanoflann-dev). The filter itself needs no library.
here = fileparts(mfilename('fullpath'));
root = fileparts(here);
if nargin < 1
  output_dir = here;
end
sources = [source_files(root, 'core'), source_files(root, 'numeric'), source_files(root, 'mex')];
% One rounding per operation (no fused multiply-add): the results are bit-exact.
cxx_flags = '-std=c++20 -ffp-contract=off -fvisibility=hidden';
libraries = {};

if exist('OCTAVE_VERSION', 'builtin')
  % mkoctfile adds OpenMP itself; the extra flags go through the environment. The
  % plug-in records its build time, which Debian's reproducible-build warning flags.
  saved = getenv('CXXFLAGS');
  restore = onCleanup(@() setenv('CXXFLAGS', saved));
  setenv('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' ' cxx_flags ' -Wno-date-time']);
  [output, status] = mkoctfile('--mex', '-o', fullfile(output_dir, 'Vandrel_multicore_mex'), ['-I' root], ['-I' fullfile(root, 'include')], ...
                               sources{:}, libraries{:});
  if status ~= 0
    error('build_mex:failed', 'mkoctfile failed:\n%s', output);
  end
  build_octave_searches(root, output_dir);
elseif ispc
  mex('-R2017b', '-output', 'Vandrel_multicore_mex', '-outdir', output_dir, ['-I' root], ['-I' fullfile(root, 'include')], ...
      'COMPFLAGS=$COMPFLAGS /std:c++20 /openmp /fp:precise', sources{:}, libraries{:});
else
  % Apple's compiler has no OpenMP: the loops then run serially, with the same results.
  openmp = '';
  if ~ismac
    openmp = ' -fopenmp';
  end
  mex('-R2017b', '-output', 'Vandrel_multicore_mex', '-outdir', output_dir, ['-I' root], ['-I' fullfile(root, 'include')], ...
      ['CXXFLAGS=$CXXFLAGS ' cxx_flags openmp], ['LDFLAGS=$LDFLAGS' openmp], sources{:}, libraries{:});
end
help_file = fullfile(here, 'Vandrel_multicore_mex.m');
if ~strcmp(fullfile(output_dir, 'Vandrel_multicore_mex.m'), help_file)
  copyfile(help_file, output_dir);  % `help Vandrel_multicore_mex` reads it
end
fprintf('Built %s\n', fullfile(output_dir, ['Vandrel_multicore_mex.' mexext()]));
end

function build_octave_searches(root, output_dir)
% Octave has no rangesearch or knnsearch: builds the stand-ins over the exact k-d tree
% (nanoflann, header-only; on Debian libnanoflann-dev) into OUTPUT_DIR/octave_fallback,
% a folder of their own to add to the path behind everything else.
folder = fullfile(output_dir, 'octave_fallback');
if ~exist(folder, 'dir')
  mkdir(folder);
end
common = {fullfile(root, 'mex', 'octave_fallback', 'search_arguments.cpp'), fullfile(root, 'host', 'kd_search.cpp')};
for name = {'rangesearch', 'knnsearch'}
  [output, status] = mkoctfile('--mex', '-o', fullfile(folder, name{1}), ['-I' root], ['-I' fullfile(root, 'include')], ...
                               fullfile(root, 'mex', 'octave_fallback', [name{1} '.cpp']), common{:});
  if status ~= 0
    error('build_mex:failed', 'mkoctfile failed on %s:\n%s', name{1}, output);
  end
end
fprintf('Built %s and %s\n', fullfile(folder, ['rangesearch.' mexext()]), fullfile(folder, ['knnsearch.' mexext()]));
end

function files = source_files(root, folder)
listing = dir(fullfile(root, folder, '*.cpp'));
files = cellfun(@(name) fullfile(root, folder, name), {listing.name}, 'UniformOutput', false);
end
