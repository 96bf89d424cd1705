function chunks = query_chunks(m, n)
% Splits queries 1..M into consecutive ranges (a 1 x c cell of index rows), small
% enough that the distance table of one range to N points stays near a million entries.
per_chunk = max(1, floor(1e6 / max(1, n)));
chunks = arrayfun(@(s) s:min(m, s + per_chunk - 1), 1:per_chunk:m, 'UniformOutput', false);
end
