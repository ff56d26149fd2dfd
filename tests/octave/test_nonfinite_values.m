function test_nonfinite_values()
% NaN and infinities in u0 reach the solver as they are.
%
% Set-up: two phases on a 5 x 6 grid, all costs 0, phase 1 of u0 at 0 and phase 2 at 1. With
% zero costs and zero split variables the multiplier is zero, so every new value is the mean
% of the same phase at the neighbours, clamped to [0, 1]: phase 2 stays exactly 1 (a mean of
% ones, clamped), phase 1 stays 0, and the pixel sums stay 1, so nothing is renormalised.
% A NaN in phase 1 spreads through the Gauss-Seidel sweeps to every pixel that reads it, but
% only within phase 1: a pixel with a NaN sum is not renormalised, and phase 2 never reads
% phase 1. The first change measure is then NaN and the solver stops after one outer
% iteration, before the split variables could carry the NaN into phase 2.
nRows = 5;
nCols = 6;
params = single([nRows nCols 2 0.5 1]);
costs = zeros(nRows, nCols, 2, 'single');
start = cat(3, zeros(nRows, nCols, 'single'), ones(nRows, nCols, 'single'));

% Without special values the labelling stays as it started.
plain = DASKEL_mex(costs, params, start);
assert(isequal(plain, start), 'the undisturbed labelling changed');

% A NaN at an interior pixel of phase 1: that pixel and its four neighbours are NaN in the
% result (each of them is updated from a NaN neighbour in the second sweep), phase 1 holds
% nothing but 0 and NaN, and phase 2 is untouched.
u0 = start;
u0(3, 3, 1) = NaN;
u = DASKEL_mex(costs, params, u0);
expect_nan_at(u, [3 3; 2 3; 4 3; 3 2; 3 4], 'NaN in u0');

% +Inf and -Inf at the up and left neighbours of the first pixel the sweep visits, (2, 2):
% their sum there is NaN, which then spreads as above. A finite stand-in for the infinities
% (the largest single, for instance) would cancel to 0 instead, so NaN appears only if the
% infinities reached the solver.
u0 = start;
u0(1, 2, 1) = Inf;
u0(2, 1, 1) = -Inf;
u = DASKEL_mex(costs, params, u0);
expect_nan_at(u, [2 2; 1 2; 3 2; 2 1; 2 3], 'Inf and -Inf in u0');

u0(1, 2, 1) = realmax('single');
u0(2, 1, 1) = -realmax('single');
u = DASKEL_mex(costs, params, u0);
assert(~any(isnan(u(:))) && isequal(u(:, :, 2), start(:, :, 2)), ...
       'finite stand-ins for the infinities should not give NaN');

% Negative zeros in u0 do not show in a result (every value is rewritten from sums that start
% from +0 or a nonzero term), so they are covered by the bit-for-bit comparison with the
% library in test_library_match, as are NaN payloads and special values in costs.

printf('test_nonfinite_values: all checks passed\n');
end

function expect_nan_at(u, pixels, context)
for n = 1:rows(pixels)
  assert(isnan(u(pixels(n, 1), pixels(n, 2), 1)), '%s: no NaN at (%d, %d, 1)', context, ...
         pixels(n, 1), pixels(n, 2));
end
phase1 = u(:, :, 1);
assert(all(isnan(phase1(:)) | phase1(:) == 0), '%s: phase 1 holds values other than 0 and NaN', context);
assert(isequal(u(:, :, 2), ones(size(phase1), 'single')), '%s: phase 2 changed', context);
end
