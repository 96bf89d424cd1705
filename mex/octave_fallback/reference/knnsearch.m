function idx = knnsearch(X, Y, varargin)
% KNNSEARCH  The k rows of X nearest to each row of Y (Euclidean).
%   idx = knnsearch(X, Y, 'K', k, 'NSMethod', 'kdtree') returns a size(Y, 1) x k
%   double matrix; row i lists the 1-based rows of X nearest to Y(i,:), nearest first,
%   equal distances in ascending row order. Squared distances are computed in double
%   from the coordinates, summed column by column from the first. Rows of X with a
%   non-finite coordinate are never found: where fewer than k rows remain, and for a
%   query with a non-finite coordinate, the missing entries are NaN.
%
%   Only this calling form exists: it stands in for the host's knnsearch where the
%   host has none.
if nargin ~= 6
  error('Vandrel:fallback', 'knnsearch: expected (X, Y, ''K'', k, ''NSMethod'', ''kdtree'')');
end
check_options('knnsearch', varargin([1 3 4]), {'K', 'NSMethod', 'kdtree'});
k = double(varargin{2});
if ~isscalar(k) || ~isreal(k) || k < 1 || k ~= fix(k)
  error('Vandrel:fallback', 'knnsearch: K must be a positive whole number');
end
if k > size(X, 1)
  error('Vandrel:fallback', 'knnsearch: K exceeds the number of points');
end
searched = find(all(isfinite(X), 2));
points = double(X(searched, :));
queries = double(Y);
idx = NaN(size(queries, 1), k);
found = min(k, numel(searched));
if found == 0
  return;
end
for q = query_chunks(size(queries, 1), numel(searched))
  range = q{1};
  d2 = squared_distances(queries(range, :), points);
  % Every entry up to the found-th smallest of its row is a candidate; ties with it
  % make more, and the sort keeps the first ones in point order.
  kth = kth_smallest(d2, found);
  [query, point] = sorted_pairs(d2, d2 <= kth);
  first = cumsum([1; accumarray(query, 1, [numel(range), 1])]);
  answered = find(~isnan(kth));
  take = first(answered) + (0:found - 1);
  idx(range(answered), 1:found) = reshape(searched(point(take)), numel(answered), found);
end
end
