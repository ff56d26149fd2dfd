function test_out_of_memory()
% Failed buffer requests, through the gateway as shipped (built with allocations that fail on
% demand): one printed line per failed request, every request still made, everything that
% was obtained released, DASKEL_mex:outOfMemory raised and no output left; the next call is
% exact again.
addpath(getenv('DASKEL_MEX_FAILING_DIR'));
[c, p, u] = daskel_test_example();
line = 'Memory allocation failure';
% Bits of the failing requests, in request order dx, dy, bx, by, outerPrev, multiplier.
masks = [1, 2, 4, 8, 16, 32, 2 + 16, 1 + 32, 63];
for mask = masks
  clear result
  caught = [];
  printed = evalc('try, result = DASKEL_mex_failing(mask, c, p, u); catch caught, end');
  context = sprintf('failure mask %d', mask);
  assert(~isempty(caught) && strcmp(caught.identifier, 'DASKEL_mex:outOfMemory'), ...
         '%s: no DASKEL_mex:outOfMemory error', context);
  assert(~exist('result', 'var'), '%s: an output was created', context);
  failures = sum(bitget(mask, 1:6));
  expected = repmat(sprintf('%s\n', line), 1, failures);
  assert(strcmp(printed, expected), '%s: printed "%s", expected %d lines', context, printed, ...
         failures);
  counts = DASKEL_mex_failing();
  assert(counts(2) == 6, '%s: %d buffer requests made, not 6', context, counts(2));
  assert(counts(1) == 0, '%s: %d buffers left unreleased', context, counts(1));

  % A call after the failure, with every request granted, is exact and prints nothing.
  printed = evalc('good = DASKEL_mex_failing(0, c, p, u);');
  assert(isempty(printed), '%s: the good call printed "%s"', context, printed);
  daskel_check_example(good, [context ', the good call after it']);
  assert(isequal(DASKEL_mex_failing(), [0 6]), '%s: the good call leaked', context);
end

% The result itself. When the gateway's trial of its size fails, the caller gets
% DASKEL_mex:outOfMemory; when the host's own allocation raises (its error has no identifier),
% no working buffer has been requested yet, so none is left behind.
cases = {64, 'DASKEL_mex:outOfMemory'; 128, ''};
for r = 1:rows(cases)
  [mask, expected] = cases{r, :};
  clear result
  caught = [];
  printed = evalc('try, result = DASKEL_mex_failing(mask, c, p, u); catch caught, end');
  context = sprintf('failure mask %d', mask);
  assert(~isempty(caught) && strcmp(caught.identifier, expected), ...
         '%s: expected the error "%s"', context, expected);
  assert(~exist('result', 'var') && isempty(printed), '%s: an output or a message', context);
  assert(isequal(DASKEL_mex_failing(), [0 0]), '%s: buffers requested or left behind', context);
end

% The test module is the shipped gateway: on random input it gives the same bits.
rand('seed', 5);
costs = single(rand(6, 7, 3));
u0 = single(rand(6, 7, 3));
params = single([6 7 3 0.4 1.2]);
assert(daskel_same_bits(DASKEL_mex_failing(0, costs, params, u0), DASKEL_mex(costs, params, u0)), ...
       'the test module differs from DASKEL_mex');
printf('test_out_of_memory: all %d failure patterns handled\n', numel(masks) + 2);
end
