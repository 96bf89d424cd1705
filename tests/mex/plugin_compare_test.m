function plugin_compare_test(plugin_dir, fallback_dir, reference_program)
% The plug-in's output equals the stand-alone library's, bit for bit, on clouds of
% different kinds; the pass and progress lines reach the Octave console; the caller's
% cloud is left alone. Run once per OpenMP thread count (OMP_NUM_THREADS): the library
% runs on one thread, so equal bits also mean the thread count changes nothing.
use_plugin(plugin_dir, fallback_dir);

randn('state', 3);
% A gently curved 1 x 1 patch, 72 x 72 points with small noise: a block of over 5000
% points, filtered in two passes with progress lines.
[u, v] = meshgrid(linspace(0, 1, 72));
patch = single([u(:), v(:), 0.05 * sin(3 * u(:)) .* cos(2 * v(:))] + 0.002 * randn(numel(u), 3));
% An exact grid: many neighbours at equal distances, so the order of equidistant rows
% must agree between the hosts.
[gu, gv] = meshgrid(0:0.05:1);
grid = single([gu(:), gv(:), 0.1 * gu(:) .^ 2]);
% A cloud with a NaN row, which no block takes and which comes out as NaN.
with_nan = single([rand(199, 3); NaN NaN NaN]);
with_nan = with_nan([1:17, 200, 18:199], :);

clouds = {
  'under 50 points', single(randn(30, 3)),                 single(0.05),  single(4)
  'exact grid',      grid,                                 single(0.01),  single(400)
  'NaN row',         with_nan,                             single(0.02),  single(200)
  'large patch',     patch,                                single(0.002), single(23000)
};
results = cell(rows(clouds), 1);
for k = 1:rows(clouds)
  [name, cloud, sigma, dens] = clouds{k, :};
  expected = run_reference(reference_program, cloud, sigma, dens);
  before = typecast(cloud(:), 'uint32');  % a copy, unlike an assigned variable
  console = evalc('result = Vandrel_multicore_mex(cloud, sigma, dens);');
  assert(isequal(typecast(cloud(:), 'uint32'), before), '%s: the caller''s cloud changed', name);
  assert(same_bits(result, expected), '%s: %d of %d values differ from the library''s', name, ...
         nnz(typecast(result(:), 'uint32') ~= typecast(expected(:), 'uint32')), numel(expected));
  check_console(name, console, rows(cloud));
  results{k} = result;
end

% The filter really ran: the patch moved, and the NaN row came out NaN.
assert(any(results{4}(:) ~= patch(:)) && all(isfinite(results{4}(:))), 'the patch did not move');
assert(all(isnan(results{3}(18, :))), 'the NaN row came out as numbers');

clear Vandrel_multicore_mex
printf('plugin_compare_test: all checks passed\n');
end

function check_console(name, console, n)
% One block holds every point: two pass lines, and in each pass one progress line per
% 5000 points, its percentage computed in single precision.
lines = strsplit(console, "\n");
slashes = repmat('/', 1, 22);
passes = lines(strncmp(lines, slashes, 22));
assert(isequal(passes, {[slashes ' itr = 1 done ' slashes ' '], [slashes ' itr = 2 done ' slashes ' ']}), ...
       '%s: pass lines %s', name, console);
progress = lines(~cellfun(@isempty, regexp(lines, '^[0-9.]+% of points processed$')));
expected = arrayfun(@(i) sprintf('%.2f%% of points processed', single(i) / single(n) * single(100)), ...
                    5000:5000:n, 'UniformOutput', false);
expected = [expected, expected];
assert(isequal(sort(progress), sort(expected)), '%s: progress lines %s', name, console);
end
