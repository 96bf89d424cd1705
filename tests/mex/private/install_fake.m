function folder = install_fake(name, body)
% Writes function NAME with the text BODY (the lines after its signature, which is
% `function idx = NAME(varargin)`) into a new folder at the front of the path and
% returns the folder; remove_fake takes it away again.
folder = tempname();
mkdir(folder);
file = fopen(fullfile(folder, [name '.m']), 'w');
fprintf(file, 'function idx = %s(varargin)\n%s\nend\n', name, body);
fclose(file);
addpath(folder);
end
