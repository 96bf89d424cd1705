function plugin_boundary_test(plugin_dir, fallback_dir, probe_dir)
% Vandrel_multicore_mex around the filter: argument counts and validation, the empty
% cloud, the default answer, the caller's variable, the exported descriptions, and
% errors raised by the host's searches, each followed by a normal call and checked
% for leaks.
use_plugin(plugin_dir, fallback_dir);
addpath(probe_dir);
plugin = fullfile(plugin_dir, ['Vandrel_multicore_mex.' mexext()]);

randn('state', 7);
cloud = single(randn(12, 3));
sigma = single(0.05);
dens = single(4);
reference = Vandrel_multicore_mex(cloud, sigma, dens);

check_rejected_calls(cloud, sigma, dens);
check_accepted_forms(cloud, sigma, dens, reference);
check_exports(plugin);
check_host_errors(plugin, cloud, sigma, dens, reference);

% The exit hook runs when the plug-in is cleared; it loads and runs again afterwards.
clear Vandrel_multicore_mex
assert(same_bits(Vandrel_multicore_mex(cloud, sigma, dens), reference));
clear Vandrel_multicore_mex
printf('plugin_boundary_test: all checks passed\n');
end

function check_rejected_calls(cloud, sigma, dens)
% Every rejected call fails before the filter asks the host for anything: a spy
% rangesearch counts the calls that reach it.
global spy_calls
spy_calls = 0;
spy = install_fake('rangesearch', 'global spy_calls; spy_calls = spy_calls + 1; error(''Spy:called'', ''spy'');');
cleanup = onCleanup(@() remove_fake(spy));
f = @Vandrel_multicore_mex;
cases = {
  'two inputs',        @() f(cloud, sigma),                  'EMLRT:runTime:WrongNumberOfInputs', 'Vandrel'
  'four inputs',       @() f(cloud, sigma, dens, dens),      'EMLRT:runTime:WrongNumberOfInputs', 'Vandrel'
  'no inputs',         @() f(),                              'EMLRT:runTime:WrongNumberOfInputs', 'Vandrel'
  'two outputs',       @() two_outputs(cloud, sigma, dens),  'EMLRT:runTime:TooManyOutputArguments', 'Vandrel'
  'double cloud',      @() f(double(cloud), sigma, dens),    'Vandrel:classMismatch', 'Convert it with single(pcd_noi).'
  'int8 cloud',        @() f(int8(cloud), sigma, dens),      'Vandrel:classMismatch', 'pcd_noi'
  'sparse cloud',      @() f(sparse(double(cloud)), sigma, dens), 'Vandrel:classMismatch', 'pcd_noi'
  'complex cloud',     @() f(complex(cloud), sigma, dens),   'Vandrel:complexMismatch', 'pcd_noi'
  'N x 4 cloud',       @() f([cloud cloud(:, 1)], sigma, dens), 'Vandrel:sizeMismatch', 'pcd_noi'
  'N x 3 x 2 cloud',   @() f(cat(3, cloud, cloud), sigma, dens), 'Vandrel:sizeMismatch', 'pcd_noi'
  '1 x 2 sigma',       @() f(cloud, [sigma sigma], dens),    'Vandrel:sizeMismatch', 'sigma_pcd'
  'double sigma',      @() f(cloud, double(sigma), dens),    'Vandrel:classMismatch', 'Convert it with single(sigma_pcd).'
  'complex sigma',     @() f(cloud, complex(sigma), dens),   'Vandrel:complexMismatch', 'sigma_pcd'
  'empty dens',        @() f(cloud, sigma, single([])),      'Vandrel:sizeMismatch', 'dens_pcd'
  'double dens',       @() f(cloud, sigma, double(dens)),    'Vandrel:classMismatch', 'dens_pcd'
};
for k = 1:rows(cases)
  try
    expect_error(cases{k, 2}, cases{k, 3}, cases{k, 4});
  catch err
    error('test:failed', '%s: %s', cases{k, 1}, err.message);
  end
  assert(spy_calls == 0, '%s reached the filter', cases{k, 1});
end
end

function two_outputs(varargin)
[a, b] = Vandrel_multicore_mex(varargin{:}); %#ok<ASGLU>
end

function check_accepted_forms(cloud, sigma, dens, reference)
empty = Vandrel_multicore_mex(single(zeros(0, 3)), sigma, dens);
assert(isa(empty, 'single') && isequal(size(empty), [0 3]), 'a 0 x 3 cloud gives a 0 x 3 single result');

% The filter scales its input in place; the caller's variable must not see it. (The
% bit patterns are a copy: an assigned variable would share the caller's storage.)
before = typecast(cloud(:), 'uint32');
result = Vandrel_multicore_mex(cloud, sigma, dens);
assert(isequal(typecast(cloud(:), 'uint32'), before), 'the caller''s pcd_noi changed');
assert(same_bits(result, reference), 'a second call gives another result');
assert(isequal(size(result), size(cloud)) && isa(result, 'single'));

% With no output variable the result becomes the default answer.
clear ans
Vandrel_multicore_mex(cloud, sigma, dens);
assert(exist('ans', 'var') == 1 && same_bits(ans, reference), 'the result did not become ans');
end

function check_exports(plugin)
[properties, api_version] = mex_exports_probe(plugin);
assert(isequal(api_version, [131483 134217728]), 'mexfilerequiredapiversion wrote %s', mat2str(api_version));

assert(isstruct(properties) && isequal(size(properties), [1 1]));
assert(isequal(fieldnames(properties), {'Version'; 'ResolvedFunctions'; 'EntryPoints'; 'CoverageInfo'}));
assert(strcmp(properties.Version, '9.7.0.1216025 (R2019b) Update 1'));
assert(iscellstr(properties.ResolvedFunctions) && any(strcmp(properties.ResolvedFunctions, 'Vandrel')));
assert(isempty(properties.CoverageInfo));

entry = properties.EntryPoints;
assert(isstruct(entry) && isequal(size(entry), [1 1]));
assert(isequal(fieldnames(entry), ...
               {'Name'; 'NumberOfInputs'; 'NumberOfOutputs'; 'ConstantInputs'; 'FullPath'; 'TimeStamp'}));
assert(strcmp(entry.Name, 'Vandrel'));
assert(isa(entry.NumberOfInputs, 'double') && entry.NumberOfInputs == 3);
assert(isa(entry.NumberOfOutputs, 'double') && entry.NumberOfOutputs == 1);
assert(islogical(entry.ConstantInputs) && isequal(entry.ConstantInputs, false(1, 3)));
assert(exist(entry.FullPath, 'file') == 2, 'FullPath %s is no file', entry.FullPath);
assert(~isempty(regexp(entry.FullPath, 'core[/\\]pipeline\.cpp$', 'once')));
% The build time, a serial date number, lies within a day before the file was written.
built = dir(plugin);
assert(isa(entry.TimeStamp, 'double') && entry.TimeStamp <= built.datenum + 1 / 1440 ...
       && entry.TimeStamp > built.datenum - 1, 'TimeStamp %s against %s', datestr(entry.TimeStamp), built.date);
end

function check_host_errors(plugin, cloud, sigma, dens, reference)
% Each faulty host function must end the call with an ordinary error, free everything
% the call had allocated, and leave the next call unaffected. The 60-point cloud gets
% as far as the block pass's nearest-neighbour search.
randn('state', 11);
larger = single(randn(60, 3));
larger_reference = Vandrel_multicore_mex(larger, sigma, dens);
cases = {
  'rangesearch that fails',    'rangesearch', 'error(''Fake:search'', ''no search today'');',        cloud,  'rangesearch'
  'rangesearch row cell',      'rangesearch', 'idx = num2cell(1:rows(varargin{2}));',                cloud,  '<output of rangesearch>'
  'rangesearch single rows',   'rangesearch', 'idx = num2cell(single(1:rows(varargin{2})).'');',     cloud,  '<output of rangesearch>'
  'rangesearch structure',     'rangesearch', 'idx = struct(''rows'', 1);',                          cloud,  '<output of rangesearch>'
  'rangesearch returns nothing', 'rangesearch', '',                                                   cloud,  'rangesearch'
  'knnsearch that fails',      'knnsearch',   'error(''Fake:search'', ''no search today'');',        larger, 'knnsearch'
  'knnsearch cell table',      'knnsearch',   'idx = num2cell(ones(rows(varargin{2}), 50));',       larger, 'int32'
  'rangesearch that re-enters', 'rangesearch', 'idx = Vandrel_multicore_mex(varargin{1}, single(0.1), single(1));', cloud, 'rangesearch'
};
for k = 1:rows(cases)
  fake = install_fake(cases{k, 2}, cases{k, 3});
  try
    expect_error(@() Vandrel_multicore_mex(cases{k, 4}, sigma, dens), '', cases{k, 5});
  catch err
    remove_fake(fake);
    error('test:failed', '%s: %s', cases{k, 1}, err.message);
  end
  remove_fake(fake);
  assert(same_bits(Vandrel_multicore_mex(cloud, sigma, dens), reference), '%s: the next call differs', cases{k, 1});
  assert(same_bits(Vandrel_multicore_mex(larger, sigma, dens), larger_reference), '%s: the next call differs', cases{k, 1});
end
end
