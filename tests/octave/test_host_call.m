function test_host_call()
% Good calls through the host: the exact two-phase example, truncated dimensions, ignored
% extra inputs and params elements, params of any shape, larger inputs, a call without an
% output, the shape of a one-phase result, a call on several threads, and the help text beside
% the module.
rand('seed', 3);

[costs, params, u0] = daskel_test_example();
u = DASKEL_mex(costs, params, u0);
daskel_check_example(u, 'two-phase example');

% Dimensions are truncated toward zero: [3.9 4.2 2.7] is the 3 x 4 x 2 problem.
c = single(rand(3, 4, 2));
v = single(rand(3, 4, 2));
exact = DASKEL_mex(c, single([3 4 2 0.3 1.5]), v);
truncated = DASKEL_mex(c, single([3.9 4.2 2.7 0.3 1.5]), v);
assert(isequal(size(truncated), [3 4 2]), 'truncated dimensions give size %s', mat2str(size(truncated)));
assert(daskel_same_bits(truncated, exact), 'truncated dimensions change the result');

% Extra inputs and params elements are ignored; params may be a row, a column or a matrix.
extra = DASKEL_mex(c, single([3 4 2 0.3 1.5 7 -1 NaN]), v, 'extra', {1}, int8(3));
assert(daskel_same_bits(extra, exact), 'extra inputs or params elements change the result');
column = DASKEL_mex(c, single([3; 4; 2; 0.3; 1.5]), v);
assert(daskel_same_bits(column, exact), 'params as a column changes the result');
matrix = DASKEL_mex(c, reshape(single([3 4 2 0.3 1.5 9]), 2, 3), v);
assert(daskel_same_bits(matrix, exact), 'params as a matrix changes the result');

% Larger inputs of other shapes: their first M*N*K elements, in column-major order, are used;
% neither input is written.
bigCosts = single(rand(5, 7, 3));
bigU0 = single(rand(1, 200));
costBits = typecast(bigCosts(:), 'uint32');
u0Bits = typecast(bigU0(:), 'uint32');
large = DASKEL_mex(bigCosts, single([3 4 2 0.3 1.5]), bigU0);
fitted = DASKEL_mex(reshape(bigCosts(1:24), 3, 4, 2), single([3 4 2 0.3 1.5]), ...
                    reshape(bigU0(1:24), 3, 4, 2));
assert(isequal(size(large), [3 4 2]), 'larger inputs give size %s', mat2str(size(large)));
assert(daskel_same_bits(large, fitted), 'larger inputs are not read by their first elements');
assert(isequal(typecast(bigCosts(:), 'uint32'), costBits) && ...
       isequal(typecast(bigU0(:), 'uint32'), u0Bits), 'an input was written');

% Without an output the result is still made, and becomes ans.
clear ans
DASKEL_mex(costs, params, u0);
assert(exist('ans', 'var') == 1, 'a call without an output left no ans');
daskel_check_example(ans, 'call without an output');

% One phase: an M x N result, 1 at every pixel (each single value is divided by itself).
one = DASKEL_mex(single(rand(6, 7)), single([6 7 1 0.5 1]), 0.5 * ones(6, 7, 'single'));
assert(isequal(size(one), [6 7]) && isa(one, 'single'), 'one phase gives size %s', mat2str(size(one)));
assert(all(one(:) == 1), 'one-phase result is not 1 everywhere');

% The smallest grid, 2 x 2, runs and gives labels that sum to one.
small = DASKEL_mex(single(rand(2, 2, 3)), single([2 2 3 0.2 1]), single(rand(2, 2, 3)));
assert(isequal(size(small), [2 2 3]) && all(abs(sum(small, 3)(:) - 1) < 1e-5), '2x2x3 result');

% A grid large enough to share out runs on the threads DASKEL_NUM_THREADS asks for, with the
% bits of one thread; no thread outlives a call, so the module can be cleared right after one.
c = single(rand(600, 500, 2));
v = single(rand(600, 500, 2));
p = single([600 500 2 0.4 2]);
before = getenv('DASKEL_NUM_THREADS');
setenv('DASKEL_NUM_THREADS', '1');
oneThread = DASKEL_mex(c, p, v);
setenv('DASKEL_NUM_THREADS', '3');
severalThreads = DASKEL_mex(c, p, v);  % two of them: one per 2^18 elements
clear DASKEL_mex
afterClear = DASKEL_mex(c, p, v);
setenv('DASKEL_NUM_THREADS', before);
assert(daskel_same_bits(severalThreads, oneThread), 'several threads change the result');
assert(daskel_same_bits(afterClear, oneThread), 'a call after clearing the module differs');

% The help file sits beside the module; it says what non-finite values and an interrupt do, and
% it and the manual name every error identifier that the driver raises.
text = help('DASKEL_mex');
assert(~isempty(strfind(text, 'U = DASKEL_MEX(COSTS, PARAMS, U0)')), 'help DASKEL_mex is missing');
assert(~isempty(strfind(text, 'Non-finite values. The values of COSTS and U0 are not checked')) && ...
       ~isempty(strfind(text, 'Interrupting. In GNU Octave, Ctrl-C')), ...
       'help DASKEL_mex does not say what NaN, Inf or Ctrl-C do');
source = getenv('DASKEL_SOURCE_DIR');
raised = regexp(fileread(fullfile(source, 'gateway', 'DASKEL_mex.cpp')), '"(DASKEL_mex:\w+)"', ...
                'tokens');
raised = unique(cellfun(@(match) match{1}, raised, 'UniformOutput', false));
manual = fileread(fullfile(source, 'docs', 'matlab-octave.md'));
for id = raised
  assert(~isempty(strfind(text, [id{1} ' '])), 'help DASKEL_mex does not list %s', id{1});
  assert(~isempty(strfind(manual, ['`' id{1} '`'])), 'docs/matlab-octave.md does not list %s', id{1});
end
assert(numel(raised) >= 11, 'only %d error identifiers found in the driver', numel(raised));

printf('test_host_call: all checks passed\n');
end
