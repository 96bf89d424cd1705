function varargout = Vandrel_multicore_mex(varargin)
% VANDREL_MULTICORE_MEX  Removes the noise from a 3-D point cloud.
%   filtered = Vandrel_multicore_mex(pcd_noi, sigma_pcd, dens_pcd)
%
%   Around every point the filter estimates the surface's normal from its 50 nearest
%   neighbours, fits planes in the four quadrants of the tangent plane at growing
%   scales, keeps per quadrant the largest scale whose confidence interval still meets
%   those of all smaller ones, and moves the point onto the fused fits; a second pass
%   follows with re-estimated noise. The per-point work runs on OpenMP threads
%   (OMP_NUM_THREADS, set before starting Octave or MATLAB); the result does not depend
%   on the thread count.
%
%   Arguments (all real single; no other class is converted):
%     pcd_noi    N x 3 single: the noisy cloud, one point (x, y, z) per row; N may be 0.
%                At most 2147483647 (2^31 - 1) points.
%     sigma_pcd  single scalar, finite, >= 0: the standard deviation of the noise on each
%                coordinate, in the cloud's units. 0 means the points are exact.
%     dens_pcd   single scalar, finite, > 0: the sampling density, in points per unit
%                area of the surface (cloud units squared). The filter scales the cloud
%                by sqrt(dens_pcd), so that neighbouring points lie about 1 apart, and
%                scales the result back.
%
%   Returns:
%     filtered   N x 3 single: the filtered cloud, row for row in the input's order.
%                pcd_noi itself is never changed. Rows that no filtered block covers
%                (a row with a NaN coordinate, a cloud of 3 points or fewer) come back
%                unchanged; clouds of 4 to 49 points pass through unfiltered.
%   While it runs, the console shows two pass lines per block and, in blocks of 5000
%   points or more, a progress line every 5000 points.
%
%   Errors (identifier: cause):
%     EMLRT:runTime:WrongNumberOfInputs      not exactly 3 inputs
%     EMLRT:runTime:TooManyOutputArguments   more than 1 output
%     Vandrel:classMismatch, Vandrel:complexMismatch, Vandrel:sizeMismatch
%                                            an argument of the wrong class, complexity
%                                            or size (the message names it), or an
%                                            unusable answer from rangesearch/knnsearch
%     Vandrel:invalidSigma                   sigma_pcd negative or not finite
%     Vandrel:invalidDensity                 dens_pcd not positive or not finite
%     Vandrel:tooManyPoints                  more than 2147483647 points
%     the host's own                         rangesearch or knnsearch failed or is
%                                            missing (Octave: "function call
%                                            <rangesearch> failed")
%
%   Unknown noise or density: the command-line tool estimates both from the cloud
%   and prints them when --sigma and --density are left out,
%     build/vandrel cloud.xyz filtered.xyz
%   and the Python module has vandrel.estimate_sigma(points) and
%   vandrel.estimate_density(points).
%
%   Searches: the plug-in calls its host's rangesearch and knnsearch. MATLAB's
%   Statistics and Machine Learning Toolbox has both. GNU Octave (its statistics
%   package included) has neither: add the bundled stand-ins, the octave_fallback
%   folder beside this plug-in (built with it), behind everything else:
%     if ~exist('rangesearch') || ~exist('knnsearch')
%       addpath(fullfile(fileparts(which('Vandrel_multicore_mex')), 'octave_fallback'), '-end');
%     end
%
%   Example (Octave, the sample scan of the vandrel sources, 20000 points):
%     addpath('/path/to/vandrel/build/mex');
%     addpath('/path/to/vandrel/build/mex/octave_fallback', '-end');
%     pcd_noi = single(load('/path/to/vandrel/data/bunny_20k_noisy.xyz'));
%     filtered = Vandrel_multicore_mex(pcd_noi, single(0.005), single(22707));
%     plot3(filtered(:, 1), filtered(:, 2), filtered(:, 3), '.');
%
%   This file holds the help text only: the plug-in itself is the compiled
%   Vandrel_multicore_mex.mex (or .mexa64, ...) in the same folder, which runs instead.

% Reached only when the compiled plug-in is not in this folder.
error('Vandrel:notBuilt', ['Vandrel_multicore_mex is not built in %s: build it with CMake ' ...
      '(build/mex/) or with build_mex.m'], fileparts(mfilename('fullpath')));
end
