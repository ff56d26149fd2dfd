function [costs, params, u0] = daskel_interrupt_problem(seconds)
% Child of test_interrupt: random costs of 32 phases from the uniform start (five outer
% iterations at these sizes), on a square grid grown from 48 pixels a side until a solve takes
% at least half of SECONDS on this build, or the side reaches 600. From 46 pixels a side on, each
% working volume is a mapping of its own, which test_interrupt counts on.
K = 32;
side = 48;
rand('seed', 17);
while true
  costs = single(rand(side, side, K));
  params = single([side side K 0.5 1]);
  u0 = ones(side, side, K, 'single') / K;
  t = tic;
  DASKEL_mex(costs, params, u0);
  elapsed = toc(t);
  if elapsed >= seconds / 2 || side == 600
    return
  end
  side = min(600, ceil(side * min(4, sqrt(seconds / elapsed))));
end
end
