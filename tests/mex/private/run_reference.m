function expected = run_reference(program, cloud, sigma, dens)
% The cloud filtered by the stand-alone library: PROGRAM is vandrel_reference, CLOUD a
% single N x 3 matrix, SIGMA and DENS single scalars.
input = [tempname() '.bin'];
output = [tempname() '.bin'];
file = fopen(input, 'w');
fwrite(file, cloud, 'single');
fclose(file);
[status, text] = system(sprintf('"%s" "%s" "%s" %.9g %.9g', program, input, output, sigma, dens));
delete(input);
assert(status == 0, 'the reference program failed: %s', text);
file = fopen(output);
expected = fread(file, [rows(cloud), 3], 'single=>single');
fclose(file);
delete(output);
end
