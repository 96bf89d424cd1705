function remove_fake(folder)
% Takes a folder made by install_fake off the path and deletes it.
rmpath(folder);
delete(fullfile(folder, '*.m'));
rmdir(folder);
end
