function kth = kth_smallest(d2, k)
% The k-th smallest entry of every row of D2 (NaN for a row of NaN).
if exist('nth_element') %#ok<EXIST> Octave's selection is linear in the row length
  kth = nth_element(d2, k, 2);
else
  sorted = sort(d2, 2);
  kth = sorted(:, k);
end
end
