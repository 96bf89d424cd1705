function [query, point] = sorted_pairs(d2, keep)
% The (query, point) pairs, row and column of D2, where KEEP is true, sorted by query,
% then by distance, then by point.
[query, point] = find(keep);
pairs = sortrows([query, d2(keep), point]);
query = pairs(:, 1);
point = pairs(:, 3);
end
