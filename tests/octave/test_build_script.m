function test_build_script()
% build_DASKEL_mex builds a working module without CMake: run it into a fresh folder, then
% that module gives the exact two-phase example and the library's bits on random input.
outdir = tempname();
cleanup = onCleanup(@() remove_folder(outdir));
addpath(fullfile(getenv('DASKEL_SOURCE_DIR'), 'gateway'));
% The compilers that mkoctfile starts must not inherit a sanitizer runtime preloaded here.
preload = getenv('LD_PRELOAD');
unsetenv('LD_PRELOAD');
build_DASKEL_mex(outdir);
setenv('LD_PRELOAD', preload);
assert(isfile(fullfile(outdir, 'DASKEL_mex.mex')), 'no module in %s', outdir);
assert(isfile(fullfile(outdir, 'DASKEL_mex.m')), 'no help file in %s', outdir);

addpath(outdir);
assert(strcmp(fileparts(which('DASKEL_mex')), outdir), 'DASKEL_mex is not the module just built');
[costs, params, u0] = daskel_test_example();
daskel_check_example(DASKEL_mex(costs, params, u0), 'module from build_DASKEL_mex');

rand('seed', 7);
costs = single(2 * rand(9, 8, 3) - 1);
u0 = single(rand(9, 8, 3));
params = single([9 8 3 0.35 1.3]);
assert(daskel_same_bits(DASKEL_mex(costs, params, u0), daskel_reference_call(costs, params, u0)), ...
       'module from build_DASKEL_mex differs from the library');
printf('test_build_script: all checks passed\n');
end

function remove_folder(folder)
confirm_recursive_rmdir(false, 'local');
if exist(folder, 'dir')
  rmdir(folder, 's');
end
end
