function test_bad_inputs()
% Every malformed call raises its DASKEL_mex: error, says what was given, leaves no output,
% and the session goes on: a good call right after each one is still exact.
[c, p, u] = daskel_test_example();
big = single(2^31);  % the first single beyond the int32 range
subnormal = typecast(uint32(hex2dec('007FFFFF')), 'single');  % the largest, just below realmin
cases = {
  % identifier              message fragment    call
  {'notEnoughInputs',       'got 0',            @() DASKEL_mex()}
  {'notEnoughInputs',       'got 1',            @() DASKEL_mex(c)}
  {'notEnoughInputs',       'got 2',            @() DASKEL_mex(c, p)}
  {'inputNotRealSingle',    'double',           @() DASKEL_mex(double(c), p, u)}
  {'inputNotRealSingle',    'params',           @() DASKEL_mex(c, double(p), u)}
  {'inputNotRealSingle',    'u0',               @() DASKEL_mex(c, p, double(u))}
  {'inputNotRealSingle',    'int32',            @() DASKEL_mex(c, int32(p), u)}
  {'inputNotRealSingle',    'logical',          @() DASKEL_mex(c, p, u > 0)}
  {'inputNotRealSingle',    'char',             @() DASKEL_mex('costs', p, u)}
  {'inputNotRealSingle',    'cell',             @() DASKEL_mex(c, {p}, u)}
  {'inputNotRealSingle',    'struct',           @() DASKEL_mex(c, p, struct('u', u))}
  {'inputNotRealSingle',    'complex',          @() DASKEL_mex(complex(c, c), p, u)}
  {'inputNotRealSingle',    'complex',          @() DASKEL_mex(c, p, complex(u))}
  {'inputNotRealSingle',    'sparse',           @() DASKEL_mex(c, sparse(double(p)), u)}
  {'paramsTooShort',        'got 4',            @() DASKEL_mex(c, p(1:4), u)}
  {'paramsTooShort',        'got 0',            @() DASKEL_mex(c, single([]), u)}
  {'invalidDimension',      'rows',             @() DASKEL_mex(c, set(p, 1, NaN), u)}
  {'invalidDimension',      'cols',             @() DASKEL_mex(c, set(p, 2, Inf), u)}
  {'invalidDimension',      'phases',           @() DASKEL_mex(c, set(p, 3, -Inf), u)}
  {'invalidDimension',      '2.14748365e+09', @() DASKEL_mex(c, set(p, 1, big), u)}
  {'invalidDimension',      'int32 range',      @() DASKEL_mex(c, set(p, 2, -3e9), u)}
  {'invalidDimension',      'truncates to 1',   @() DASKEL_mex(c, set(p, 1, 1.99), u)}
  {'invalidDimension',      'at least 2',       @() DASKEL_mex(c, set(p, 2, 1), u)}
  {'invalidDimension',      'truncates to 0',   @() DASKEL_mex(c, set(p, 3, 0.9), u)}
  {'invalidDimension',      'truncates to -2',  @() DASKEL_mex(c, set(p, 3, -2.5), u)}
  {'invalidDimension',      'rows',             @() DASKEL_mex(c, set(p, 1, -2147483648), u)}
  {'volumeTooLarge',        '65536*32768*1',    @() DASKEL_mex(c, single([65536 32768 1 0.5 1]), u)}
  {'volumeTooLarge',        'must not exceed',  @() DASKEL_mex(c, single([2147483520 2147483520 2 0.5 1]), u)}
  {'volumeTooLarge',        '2*2*1073741824',   @() DASKEL_mex(c, single([2 2 2^30 0.5 1]), u)}
  {'inputTooSmall',         'got 39',           @() DASKEL_mex(c(1:39), p, u)}
  {'inputTooSmall',         'u0',               @() DASKEL_mex(c, p, u(:, :, 1))}
  {'inputTooSmall',         'got 0',            @() DASKEL_mex(c, p, single([]))}
  {'inputTooSmall',         'at least',         @() DASKEL_mex(c, set(p, 1, 5), u)}
  {'invalidTvWeight',       'NaN',              @() DASKEL_mex(c, set(p, 4, NaN), u)}
  {'invalidTvWeight',       'Inf',              @() DASKEL_mex(c, set(p, 4, -Inf), u)}
  {'invalidPenalty',        'got 0',            @() DASKEL_mex(c, set(p, 5, 0), u)}
  {'invalidPenalty',        'got -0',           @() DASKEL_mex(c, set(p, 5, -0), u)}
  {'invalidPenalty',        'got -1',           @() DASKEL_mex(c, set(p, 5, -1), u)}
  {'invalidPenalty',        'NaN',              @() DASKEL_mex(c, set(p, 5, NaN), u)}
  {'invalidPenalty',        'Inf',              @() DASKEL_mex(c, set(p, 5, Inf), u)}
  {'penaltyTooSmall',       'got 9.9999461e-41', @() DASKEL_mex(c, set(p, 5, 1e-40), u)}
  {'penaltyTooSmall',       'at least 1.17549435e-38', @() DASKEL_mex(c, set(p, 5, 1e-45), u)}
  {'penaltyTooSmall',       'got 1.17549421e-38', @() DASKEL_mex(c, set(p, 5, subnormal), u)}
};
for n = 1:numel(cases)
  [id, fragment, call] = cases{n}{:};
  clear result
  err = [];
  try
    result = call();
  catch err
  end
  context = sprintf('case %d (%s)', n, func2str(call));
  expect_error(err, ['DASKEL_mex:' id], fragment, context);
  assert(~exist('result', 'var'), '%s: an output was created', context);
  daskel_check_example(DASKEL_mex(c, p, u), [context ', the good call after it']);
end

% The smallest normal penalty is the first accepted.
daskel_check_example(DASKEL_mex(c, set(p, 5, realmin('single')), u), 'penalty realmin(''single'')');

% Two outputs requested.
err = [];
try
  [a, b] = DASKEL_mex(c, p, u);
catch err
end
expect_error(err, 'DASKEL_mex:tooManyOutputs', '2', 'two outputs');
assert(~exist('a', 'var') && ~exist('b', 'var'), 'two outputs: an output was created');

% A bad call without an output leaves no ans.
clear ans
err = [];
try
  DASKEL_mex(c, set(p, 5, 0), u);
catch err
end
expect_error(err, 'DASKEL_mex:invalidPenalty', 'penalty', 'no output');
assert(~exist('ans', 'var'), 'a failed call without an output set ans');
daskel_check_example(DASKEL_mex(c, p, u), 'the last good call');

printf('test_bad_inputs: all %d calls raised their errors\n', numel(cases) + 2);
end

function p = set(p, element, value)
p(element) = value;
end

function expect_error(err, id, fragment, context)
assert(~isempty(err), '%s: no error was raised', context);
assert(strcmp(err.identifier, id), '%s: identifier %s, not %s (%s)', context, err.identifier, ...
       id, err.message);
assert(~isempty(strfind(err.message, fragment)), '%s: message "%s" lacks "%s"', context, ...
       err.message, fragment);
end
