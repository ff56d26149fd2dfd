function [costs, params, u0] = daskel_test_example()
% The two-phase example on a 4 x 5 grid: phase 1 costs 0 and phase 2 costs 1 everywhere, from
% the uniform start; the solver settles on exactly 1 in phase 1 and 0 in phase 2.
costs = cat(3, zeros(4, 5, 'single'), ones(4, 5, 'single'));
params = single([4 5 2 0.5 1]);
u0 = 0.5 * ones(4, 5, 2, 'single');
end
