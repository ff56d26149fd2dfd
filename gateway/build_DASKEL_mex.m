function build_DASKEL_mex(outdir)
%BUILD_DASKEL_MEX  Build the DASKEL_mex module without CMake, inside Octave or MATLAB.
%   BUILD_DASKEL_MEX compiles the driver DASKEL_mex.cpp and the solver sources into the
%   module DASKEL_mex in the folder of this script, beside the help file DASKEL_mex.m; then
%   addpath that folder. BUILD_DASKEL_MEX(OUTDIR) writes the module to OUTDIR instead and
%   copies the help file there.
%
%   GNU Octave builds with mkoctfile --mex (DASKEL_mex.mex); MATLAB builds with mex
%   (DASKEL_mex.mexa64, .mexmaci64, .mexw64, ...) and needs a C++17 compiler chosen with
%   "mex -setup C++". The solver's results are exact to the bit only when no fused
%   multiply-adds are formed, so the sources are compiled with -ffp-contract=off (MSVC:
%   /fp:precise) and never with -ffast-math or -march=native.
%
%   See also DASKEL_MEX.

here = fileparts(mfilename('fullpath'));
root = fileparts(here);
if nargin < 1 || isempty(outdir)
  outdir = here;
end
if ~exist(outdir, 'dir')
  mkdir(outdir);
end
solver_files = dir(fullfile(root, 'solver', '*.cpp'));
sources = [{fullfile(here, 'DASKEL_mex.cpp')}, ...
           fullfile(root, 'solver', {solver_files.name})];

if exist('OCTAVE_VERSION', 'builtin') ~= 0
  target = fullfile(outdir, 'DASKEL_mex.mex');
  % DASKEL_MEX_OCTAVE: the driver's Octave parts (the solve ends at the user's interrupt).
  args = [{'--mex', '-std=c++17', '-O2', '-ffp-contract=off', '-fno-fast-math', ...
           '-DDASKEL_MEX_OCTAVE', ['-I' root], '-o', target}, sources];
  [output, status] = mkoctfile(args{:});
  if status ~= 0
    error('build_DASKEL_mex:failed', 'mkoctfile failed:\n%s', output);
  end
else
  compiler = mex.getCompilerConfigurations('C++', 'Selected');
  if isempty(compiler)
    error('build_DASKEL_mex:noCompiler', 'No C++ compiler is set up; run "mex -setup C++".');
  end
  if strncmpi(compiler.ShortName, 'MSVC', 4)
    flags = 'COMPFLAGS=$COMPFLAGS /std:c++17 /fp:precise';
  else
    flags = 'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off -fno-fast-math';
  end
  mex(flags, ['-I' root], '-outdir', outdir, '-output', 'DASKEL_mex', sources{:});
  target = fullfile(outdir, ['DASKEL_mex.' mexext]);
end

help_file = fullfile(here, 'DASKEL_mex.m');
if ~strcmp(fullfile(outdir, 'DASKEL_mex.m'), help_file)
  copyfile(help_file, outdir);
end
fprintf('Built %s\n', target);
end
