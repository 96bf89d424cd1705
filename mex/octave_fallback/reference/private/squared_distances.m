function d2 = squared_distances(queries, points)
% Squared distances from every query (a row) to every point (a column). The sum runs
% column by column from the first, ((dx*dx + dy*dy) + dz*dz) for three columns, in
% double with one rounding per operation. A query with a non-finite coordinate gets
% NaN distances, so it finds nothing.
d2 = zeros(size(queries, 1), size(points, 1));
for c = 1:size(queries, 2)
  delta = queries(:, c) - points(:, c).';
  d2 = d2 + delta .* delta;
end
d2(~all(isfinite(queries), 2), :) = NaN;
end
