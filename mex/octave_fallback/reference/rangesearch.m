function idx = rangesearch(X, Y, r, varargin)
% RANGESEARCH  Rows of X within Euclidean distance r of each row of Y.
%   idx = rangesearch(X, Y, r, 'Distance', 'euclidean', 'NSMethod', 'kdtree')
%   returns a size(Y, 1) x 1 cell; idx{i} is a 1 x n double row of the 1-based rows
%   of X whose distance to Y(i,:) is at most r, nearest first, equal distances in
%   ascending row order. Squared distances are computed in double from the
%   coordinates, summed column by column from the first, and compared with
%   double(r)^2. A row with a non-finite coordinate is never found and finds nothing,
%   and a negative radius finds nothing.
%
%   Only this calling form exists: it stands in for the host's rangesearch where the
%   host has none.
if nargin ~= 7
  error('Vandrel:fallback', 'rangesearch: expected (X, Y, r, ''Distance'', ''euclidean'', ''NSMethod'', ''kdtree'')');
end
check_options('rangesearch', varargin, {'Distance', 'euclidean', 'NSMethod', 'kdtree'});
if ~isscalar(r) || ~isreal(r)
  error('Vandrel:fallback', 'rangesearch: r must be a real scalar');
end
limit = double(r) * double(r);
if ~(double(r) >= 0)
  limit = -Inf;
end
searched = find(all(isfinite(X), 2));
points = double(X(searched, :));
queries = double(Y);
idx = cell(size(queries, 1), 1);
for q = query_chunks(size(queries, 1), numel(searched))
  range = q{1};
  d2 = squared_distances(queries(range, :), points);
  [query, point] = sorted_pairs(d2, d2 <= limit);
  counts = accumarray(query, 1, [numel(range), 1]);
  idx(range) = mat2cell(reshape(searched(point), 1, []), 1, counts).';
end
end
