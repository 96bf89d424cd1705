function plugin_help_test(plugin_dir)
% `help Vandrel_multicore_mex` prints the help file beside the plug-in, while a call
% runs the compiled plug-in.
addpath(plugin_dir);
plugin = fullfile(plugin_dir, ['Vandrel_multicore_mex.' mexext()]);
assert(strcmp(which('Vandrel_multicore_mex'), plugin), 'Vandrel_multicore_mex is %s', which('Vandrel_multicore_mex'));
text = evalc('help Vandrel_multicore_mex');
for fragment = {'filtered = Vandrel_multicore_mex(pcd_noi, sigma_pcd, dens_pcd)', 'N x 3 single', ...
                'sqrt(dens_pcd)', 'Vandrel:invalidSigma', 'vandrel.estimate_sigma', '--sigma', ...
                'rangesearch and knnsearch', 'octave_fallback', 'Example', 'At most 2147483647'}
  assert(~isempty(strfind(text, fragment{1})), 'the help text lacks "%s":\n%s', fragment{1}, text);
end
% The limit the plug-in enforces (32-bit rows), and no other.
assert(isempty(strfind(text, '16777216')), 'the help text names an old point limit:\n%s', text);
% The compiled plug-in answers, not the help file's body.
expect_error(@() Vandrel_multicore_mex(single(1)), 'EMLRT:runTime:WrongNumberOfInputs', 'inputs');
rmpath(plugin_dir);
printf('plugin_help_test: all checks passed\n');
end
