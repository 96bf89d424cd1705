function search_stand_in_test(stand_in_dir, reference_dir, plugin_dir, reference_program, sample_file)
% The compiled stand-ins for rangesearch and knnsearch answer every call exactly as the
% brute-force reference stand-ins do (class, shape, values, order), on random clouds,
% integer grids full of distance ties, clouds with non-finite rows and query sets other
% than the point set; they refuse the same calls. Then the plug-in filters the sample
% scan with them, timed, and gives the stand-alone library's bits.
randn('state', 11);
rand('state', 11);

random_cloud = single(randn(2000, 3));
[gx, gy, gz] = ndgrid(0:11);
integer_grid = single([gx(:), gy(:), gz(:)]);
with_non_finite = single(rand(600, 3));
with_non_finite([3 50 51 599], :) = [NaN 0 0; 0 Inf 0; 0 0 -Inf; NaN NaN NaN];
offset_queries = [integer_grid(1:7:end, :) + single(0.5); single(rand(40, 3) * 11); single([NaN 1 1])];
three_finite = single([0 0 0; 1 0 0; NaN 0 0; 0 2 0; Inf 1 1]);
no_points = zeros(0, 3, 'single');

% name, points, queries, radius, K
cases = {
  'random cloud'                 random_cloud     random_cloud             single(0.35)  single(50)
  'random, other queries'        random_cloud     random_cloud(1:3:end, :) * single(1.1)  single(0.4)  single(7)
  'integer grid, radius 2'       integer_grid     integer_grid             single(2)     single(27)
  'integer grid, radius 1'       integer_grid     integer_grid             single(1)     single(7)
  'integer grid, radius 0'       integer_grid     integer_grid(1:97, :)    single(0)     single(1)
  'integer grid, off-grid queries' integer_grid   offset_queries           single(1.5)   single(9)
  'non-finite rows'              with_non_finite  with_non_finite          single(0.2)   single(50)
  'non-finite, every point'      with_non_finite  with_non_finite(1:40, :) single(Inf)   single(600)
  'fewer finite points than K'   three_finite     three_finite             single(1.5)   single(4)
  'negative radius'              random_cloud     random_cloud(1:20, :)    single(-1)    single(3)
  'NaN radius'                   random_cloud     random_cloud(1:20, :)    single(NaN)   single(3)
  'double radius and K'          integer_grid     integer_grid(1:50, :)    2             27
  'no queries'                   random_cloud     no_points                single(1)     single(5)
};
reference = answer_all(reference_dir, '.m', cases);
compiled = answer_all(stand_in_dir, ['.' mexext()], cases);
for k = 1:rows(cases)
  name = cases{k, 1};
  for s = 1:2
    assert(strcmp(class(compiled{k, s}), class(reference{k, s})) && isequal(size(compiled{k, s}), size(reference{k, s})), ...
           '%s, output %d: %s %s, the reference %s %s', name, s, class(compiled{k, s}), mat2str(size(compiled{k, s})), ...
           class(reference{k, s}), mat2str(size(reference{k, s})));
  end
  assert(iscell(reference{k, 1}) && all(cellfun(@(c) isa(c, 'double') && rows(c) == 1, reference{k, 1})), ...
         '%s: the reference is not a cell of double rows', name);
  differ = find(~cellfun(@(a, b) isequal(size(a), size(b)) && isequal(a, b), compiled{k, 1}, reference{k, 1}), 1);
  if ~isempty(differ)
    error('test:failed', '%s: rangesearch row %d is %s, the reference %s', name, differ, ...
          mat2str(compiled{k, 1}{differ}), mat2str(reference{k, 1}{differ}));
  end
  assert(isequaln(compiled{k, 2}, reference{k, 2}), '%s: knnsearch differs in %d entries', name, ...
         nnz(~(compiled{k, 2} == reference{k, 2} | (isnan(compiled{k, 2}) & isnan(reference{k, 2})))));
end
% The tables really hold ties and gaps: an integer-grid point at radius 1 has up to six
% neighbours at the same distance, and a NaN query finds nothing.
assert(max(cellfun(@numel, compiled{4, 1})) == 7 && all(isnan(compiled{6, 2}(end, :))));

check_refused_calls(stand_in_dir, reference_dir, three_finite);
filter_sample(stand_in_dir, plugin_dir, reference_program, sample_file);
printf('search_stand_in_test: all checks passed\n');
end

function answers = answer_all(folder, extension, cases)
% rangesearch and knnsearch of every case, answered by the stand-ins in FOLDER.
addpath(folder);
cleanup = onCleanup(@() leave(folder));
assert(strcmp(which('rangesearch'), fullfile(folder, ['rangesearch' extension])), 'rangesearch is %s', which('rangesearch'));
assert(strcmp(which('knnsearch'), fullfile(folder, ['knnsearch' extension])), 'knnsearch is %s', which('knnsearch'));
answers = cell(rows(cases), 2);
for k = 1:rows(cases)
  [~, X, Y, r, K] = cases{k, :};
  answers{k, 1} = rangesearch(X, Y, r, 'Distance', 'euclidean', 'NSMethod', 'kdtree');
  answers{k, 2} = knnsearch(X, Y, 'K', K, 'NSMethod', 'kdtree');
end
% The option words may come in any letter case.
same_case = answers{1, 1};
assert(isequal(rangesearch(cases{1, 2:4}, 'DISTANCE', 'Euclidean', 'nsmethod', 'KDTree'), same_case));
end

function leave(folder)
rmpath(folder);
clear rangesearch knnsearch
end

function check_refused_calls(stand_in_dir, reference_dir, X)
% Calls outside the plug-in's calling forms fail in both, with the same identifier;
% the compiled ones also refuse point sets they cannot search exactly.
both = {
  'rangesearch, six arguments'   @() rangesearch(X, X, single(1), 'Distance', 'euclidean', 'NSMethod')
  'rangesearch, other distance'  @() rangesearch(X, X, single(1), 'Distance', 'cityblock', 'NSMethod', 'kdtree')
  'rangesearch, other method'    @() rangesearch(X, X, single(1), 'Distance', 'euclidean', 'NSMethod', 'exhaustive')
  'rangesearch, option as cell'  @() rangesearch(X, X, single(1), {'Distance'}, 'euclidean', 'NSMethod', 'kdtree')
  'rangesearch, radius row'      @() rangesearch(X, X, single([1 2]), 'Distance', 'euclidean', 'NSMethod', 'kdtree')
  'rangesearch, complex radius'  @() rangesearch(X, X, single(1 + 1i), 'Distance', 'euclidean', 'NSMethod', 'kdtree')
  'knnsearch, seven arguments'   @() knnsearch(X, X, 'K', single(2), 'NSMethod', 'kdtree', 'x')
  'knnsearch, other option'      @() knnsearch(X, X, 'Radius', single(2), 'NSMethod', 'kdtree')
  'knnsearch, K 1.5'             @() knnsearch(X, X, 'K', single(1.5), 'NSMethod', 'kdtree')
  'knnsearch, K 0'               @() knnsearch(X, X, 'K', single(0), 'NSMethod', 'kdtree')
  'knnsearch, K NaN'             @() knnsearch(X, X, 'K', NaN, 'NSMethod', 'kdtree')
  'knnsearch, K over N'          @() knnsearch(X, X, 'K', single(6), 'NSMethod', 'kdtree')
};
for folder = {reference_dir, stand_in_dir}
  addpath(folder{1});
  for k = 1:rows(both)
    expect_error(both{k, 2}, 'Vandrel:fallback', ':');
  end
  leave(folder{1});
end

addpath(stand_in_dir);
cleanup = onCleanup(@() leave(stand_in_dir));
only_compiled = {
  'double points',     @() rangesearch(double(X), X, single(1), 'Distance', 'euclidean', 'NSMethod', 'kdtree'), 'argument 1 must be a real single N x 3'
  'two columns',       @() knnsearch(X, X(:, 1:2), 'K', single(1), 'NSMethod', 'kdtree'),                         'argument 2 must be a real single N x 3'
  'complex queries',   @() knnsearch(X, complex(X), 'K', single(1), 'NSMethod', 'kdtree'),                        'argument 2 must be a real single N x 3'
  'inexact radius',    @() rangesearch(X, X, 0.1, 'Distance', 'euclidean', 'NSMethod', 'kdtree'),                'r must be a real single scalar'
  'two outputs',       @() two_outputs(X),                                                                        'one output only'
};
for k = 1:rows(only_compiled)
  expect_error(only_compiled{k, 2}, 'Vandrel:fallback', only_compiled{k, 3});
end
end

function two_outputs(X)
[a, b] = knnsearch(X, X, 'K', single(1), 'NSMethod', 'kdtree'); %#ok<ASGLU>
end

function filter_sample(stand_in_dir, plugin_dir, reference_program, sample_file)
addpath(plugin_dir);
addpath(stand_in_dir, '-end');
cloud = single(load(sample_file));
sigma = single(0.005);
dens = single(22707);
started = tic();
evalc('filtered = Vandrel_multicore_mex(cloud, sigma, dens);');
seconds = toc(started);
printf('search_stand_in_test: the plug-in filtered the %d-point sample in %.2f s with the compiled searches\n', ...
       rows(cloud), seconds);
assert(same_bits(filtered, run_reference(reference_program, cloud, sigma, dens)), ...
       'the sample filtered in Octave differs from the library''s');
rmpath(plugin_dir);
leave(stand_in_dir);
end
