function same = same_bits(a, b)
% True when the single arrays A and B have the same extents and bit patterns (NaN
% payloads included).
same = isequal(size(a), size(b)) && isa(a, 'single') && isa(b, 'single') ...
       && isequal(typecast(a(:), 'uint32'), typecast(b(:), 'uint32'));
end
