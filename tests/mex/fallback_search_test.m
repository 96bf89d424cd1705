function fallback_search_test(fallback_dir)
% The stand-ins for rangesearch and knnsearch against a plain per-query search: the
% same rows in the same order (distance, then row), ties and the radius's edge
% included, across several query chunks; non-finite points; the calling forms.
addpath(fallback_dir);

% Whole-number coordinates give exact distance ties, and points exactly at the radius.
[gx, gy] = meshgrid(0:39);
grid = single([gx(:), gy(:), mod(gx(:) + 2 * gy(:), 3)]);
randn('state', 5);
scattered = single(randn(300, 3));
scattered([9 40], :) = [NaN 0 0; 0 Inf 0];

cases = {
  % name                 points      queries                    radius     k
  'grid, radius 2'       grid        grid                       2          6
  'grid, radius 0'       grid        grid(1:50, :)              0          1
  'grid, other queries'  grid        grid(1:97, :) + 0.5        1.5        9
  'non-finite points'    scattered   scattered                  0.8        50
  'negative radius'      scattered   scattered(1:5, :)          -1         3
};
for k = 1:rows(cases)
  [name, X, Y, r, K] = cases{k, :};
  found = rangesearch(X, Y, single(r), 'Distance', 'euclidean', 'NSMethod', 'kdtree');
  assert(iscell(found) && isequal(size(found), [rows(Y), 1]), '%s: rangesearch shape', name);
  nearest = knnsearch(X, Y, 'K', single(K), 'NSMethod', 'kdtree');
  assert(isa(nearest, 'double') && isequal(size(nearest), [rows(Y), K]), '%s: knnsearch shape', name);
  for i = 1:rows(Y)
    [rows_within, rows_nearest] = plain_search(X, Y(i, :), r, K);
    assert(isa(found{i}, 'double') && isequal(size(found{i}), size(rows_within)) ...
           && isequal(found{i}, rows_within), '%s: rangesearch query %d', name, i);
    assert(isequaln(nearest(i, :), rows_nearest), '%s: knnsearch query %d', name, i);
  end
end

% On a flat grid, point 42 is (1, 1): itself, then its four neighbours at exactly
% radius 1 in row order.
flat = [grid(:, 1:2), zeros(rows(grid), 1, 'single')];
found = rangesearch(flat, flat, single(1), 'Distance', 'euclidean', 'NSMethod', 'kdtree');
assert(isequal(found{42}, [42 2 41 43 82]), 'flat grid point 42 at radius 1: %s', mat2str(found{42}));
assert(isequal(knnsearch(flat, flat(42, :), 'K', single(6), 'NSMethod', 'kdtree'), [42 2 41 43 82 1]));

% Fewer finite points than K leaves NaN; a non-finite query finds nothing.
few = single([0 0 0; 1 0 0; NaN 0 0]);
assert(isequaln(knnsearch(few, few, 'K', single(3), 'NSMethod', 'kdtree'), [1 2 NaN; 2 1 NaN; NaN NaN NaN]));
assert(isequal(size(rangesearch(few, few(3, :), single(5), 'Distance', 'euclidean', 'NSMethod', 'kdtree'){1}), [1 0]));
empty = rangesearch(single(zeros(0, 3)), single(zeros(0, 3)), single(1), 'Distance', 'euclidean', 'NSMethod', 'kdtree');
assert(iscell(empty) && isequal(size(empty), [0 1]));

% Only the calling forms the plug-in uses exist.
expect_error(@() knnsearch(few, few, 'K', single(4), 'NSMethod', 'kdtree'), 'Vandrel:fallback', 'K exceeds');
expect_error(@() knnsearch(few, few, 'K', single(1.5), 'NSMethod', 'kdtree'), 'Vandrel:fallback', 'whole number');
expect_error(@() knnsearch(few, few, 'K', single(1)), 'Vandrel:fallback', 'expected');
expect_error(@() rangesearch(few, few, single(1), 'Distance', 'cityblock', 'NSMethod', 'kdtree'), ...
             'Vandrel:fallback', 'options');
printf('fallback_search_test: all checks passed\n');
end

function [within, nearest] = plain_search(X, q, r, K)
% One query against every point, distances in double as ((dx*dx + dy*dy) + dz*dz),
% ordered by distance and then row; rows with a non-finite coordinate take no part.
d = double(q) - double(X);
d2 = (d(:, 1) .* d(:, 1) + d(:, 2) .* d(:, 2)) + d(:, 3) .* d(:, 3);
d2(~all(isfinite(X), 2) | ~all(isfinite(q))) = NaN;
order = sortrows([d2, (1:rows(X)).']);
order = order(~isnan(order(:, 1)), :);
limit = double(single(r)) ^ 2;
if r < 0
  limit = -Inf;
end
within = order(order(:, 1) <= limit, 2).';
if isempty(within)
  within = zeros(1, 0);
end
nearest = NaN(1, K);
count = min(K, rows(order));
nearest(1:count) = order(1:count, 2);
end
