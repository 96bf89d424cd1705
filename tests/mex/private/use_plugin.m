function use_plugin(plugin_dir, fallback_dir)
% Puts the plug-in on the path, and behind everything else the stand-ins for the
% searches when the host has no rangesearch or knnsearch of its own.
addpath(plugin_dir);
if ~exist('rangesearch') || ~exist('knnsearch') %#ok<EXIST>
  addpath(fallback_dir, '-end');
end
end
