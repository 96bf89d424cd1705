function [query, point] = sorted_pairs(d2, keep)
% The (query, point) pairs, row and column of D2, where KEEP is true, sorted by query,
% then by distance, then by point. Columns, whatever the shape of D2.
[query, point] = find(keep);
distance = d2(keep);
pairs = sortrows([query(:), distance(:), point(:)]);
query = pairs(:, 1);
point = pairs(:, 3);
end
