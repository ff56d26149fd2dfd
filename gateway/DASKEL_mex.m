%DASKEL_MEX  Soft multi-phase labelling of an image by split Bregman.
%   U = DASKEL_MEX(COSTS, PARAMS, U0) labels an image of M rows and N columns into K phases.
%   It minimises the data costs of the labelling plus tvWeight times the isotropic total
%   variation of every phase, by a split-Bregman iteration: each outer iteration runs two
%   Gauss-Seidel sweeps over the labels and one shrinkage of their gradients; at most five
%   outer iterations run, fewer when the relative change of the labels settles.
%
%   All three inputs must be real, non-sparse SINGLE arrays.
%
%   COSTS   The data costs, M x N x K: COSTS(i,j,k) is the cost of giving pixel (i,j) phase k.
%           Any shape will do; the first M*N*K elements are read in column-major order, so an
%           array with more elements is allowed and the rest is ignored.
%   PARAMS  A vector (row or column) of at least five values; elements after the fifth are
%           ignored:
%             PARAMS(1)  M, the number of rows, at least 2
%             PARAMS(2)  N, the number of columns, at least 2
%             PARAMS(3)  K, the number of phases, at least 1
%             PARAMS(4)  tvWeight, the weight of the total-variation term (finite)
%             PARAMS(5)  penalty, the split penalty (finite, and at least the smallest
%                        normal single, realmin('single') = 1.17549435e-38)
%           M, N and K are truncated toward zero (3.9 gives 3) and must lie in the int32
%           range, with M*N*K at most 2147483647. They alone set the size of the result; the
%           shapes of COSTS and U0 play no part in it. The solver works with 1/(n*penalty)
%           for n = 2, 3 and 4; for subnormal penalties these overflow to Inf (from about
%           1.47e-39 down), and pixels whose costs are all equal become NaN.
%   U0      The initial labelling, read like COSTS: at least M*N*K elements, of which the
%           first M*N*K are used. Values are taken as they are, NaN, Inf and -0 included
%           (see Non-finite values below); 0.5 everywhere (or 1/K) is a usual start.
%
%   U       The final labelling, a new M x N x K SINGLE array (M x N when K is 1). Its values
%           lie in [0, 1] and sum to one over the phases at every pixel, unless non-finite
%           inputs made them NaN. The result is computed also when no output is requested
%           (it is then ANS).
%
%   Non-finite values. The values of COSTS and U0 are not checked: NaN and Inf reach the solver
%   as they are, and no error is raised for them. A NaN or infinite cost makes its pixel NaN
%   (one phase or more), and a NaN in U0 makes NaN the pixels whose update reads it. From there
%   the NaN spreads through the Gauss-Seidel sweeps to the pixels they reach from it: one
%   non-finite cost or NaN of U0 in the middle of a 100 x 100 x 3 problem turns some 2,700 to
%   2,800 of its 10,000 pixels NaN, a NaN of U0 at pixel (1,1) all of them. The change measure
%   of that outer iteration is then NaN, and the stop rule ends the loop after it: U is the
%   labelling of one outer iteration, NaN at those pixels, and in [0, 1] with sums of one at
%   the others. An infinity in U0 is clamped by the pixels that read it (+Inf and -Inf read
%   together give NaN), but it too makes the change measure NaN and ends the loop after one
%   outer iteration. Where inputs may hold such values, test all(isfinite(X(:))) first.
%
%   Cost scale. A sweep sets phase k of a pixel with n neighbours in the grid to
%   S/n - (multiplier + COSTS(k)) / (n*penalty) and then clamps it to [0, 1], where S sums the
%   neighbours' phase k and the split terms X + Y, and multiplier is the mean over the phases of
%   penalty*(X + Y) - COSTS. So only the costs' differences from their mean at the pixel count,
%   and phase k gains (mean cost - COSTS(k)) / (n*penalty) on its neighbours' mean. A phase whose
%   cost lies n*penalty or more below the pixel's mean cost clamps to 1 whatever its neighbours
%   hold; two phases that both clamp end equal after the normalisation, and from then on the
%   labelling cannot rank them. Two phases can both clamp once the costs of a pixel spread (most
%   minus least) over more than penalty*K/(K-1) at a corner (n = 2), twice that inside; with
%   every pixel's spread within penalty*K/(K-1) they cannot while X and Y are zero, as on the
%   first sweep. Negative log-likelihoods of a clean image spread over thousands. Safe costs,
%   for example (subtracting each pixel's least cost changes nothing but rounding; the clip
%   bounds the spread):
%     K = size(costs, 3); costs = min(costs - min(costs, [], 3), params(5) * K / (K - 1));
%
%   Threads. A call runs on several threads, which it starts and joins before it returns:
%   as many as the CPUs this process may run on (its affinity mask, within its cgroup's CPU
%   quota), or fewer where the environment variable DASKEL_NUM_THREADS asks for fewer (a whole
%   number from 1; 1 keeps the call on MATLAB's thread); a small image takes fewer, at most one
%   per eight columns and one per 262144 elements. The result is the same, bit for bit, for every
%   count. Set the variable before the call, e.g. setenv('DASKEL_NUM_THREADS', '4').
%
%   Interrupting. In GNU Octave, Ctrl-C ends a call before its next outer iteration: the
%   working buffers are released, the unfinished labelling is discarded (no output is assigned,
%   not even ANS), and Octave takes the interrupt as it does in its own code: at the prompt it
%   comes back to the prompt, and octave-cli running a script or --eval exits. The next call
%   runs as usual. MATLAB shows a MEX function no pending Ctrl-C: there the solve runs to its
%   end, and MATLAB takes the interrupt when the call has returned.
%
%   Errors, raised before any data is read, leave no output:
%     DASKEL_mex:notEnoughInputs     fewer than three inputs
%     DASKEL_mex:tooManyOutputs      more than one output requested
%     DASKEL_mex:inputNotRealSingle  an input is not a real, non-sparse SINGLE array
%     DASKEL_mex:paramsTooShort      PARAMS has fewer than five elements
%     DASKEL_mex:invalidDimension    M, N or K is not finite, is outside the int32 range, or
%                                    truncates to M < 2, N < 2 or K < 1
%     DASKEL_mex:volumeTooLarge      M*N*K exceeds 2147483647
%     DASKEL_mex:inputTooSmall       COSTS or U0 holds fewer than M*N*K elements
%     DASKEL_mex:invalidTvWeight     tvWeight is NaN or infinite
%     DASKEL_mex:invalidPenalty      penalty is not a finite positive number
%     DASKEL_mex:penaltyTooSmall     penalty is positive but below realmin('single'),
%                                    1.17549435e-38 (a subnormal single)
%     DASKEL_mex:outOfMemory         there is no memory for the result, or the working
%                                    buffers (five M*N*K volumes and one M*N slice of SINGLE)
%                                    could not be obtained; the message "Memory allocation
%                                    failure" is printed once for each buffer that failed
%
%   The memory for the result is tried before the host is asked for it. Should the host still
%   fail to allocate the result (the memory went elsewhere in between), it raises its own
%   error, which has an empty identifier: in Octave "DASKEL_mex: failed to allocate N bytes of
%   memory", with N = 4*M*N*K; MATLAB raises its own out-of-memory error. No working buffer
%   exists at that point, so nothing is left behind.
%
%   Example: two phases on a 4 x 5 image, phase 1 free and phase 2 costing 1 everywhere.
%     costs = cat(3, zeros(4, 5, 'single'), ones(4, 5, 'single'));
%     u = DASKEL_mex(costs, single([4 5 2 0.5 1]), 0.5 * ones(4, 5, 2, 'single'));
%     % u(:,:,1) is 1 and u(:,:,2) is 0 at every pixel.
%
%   The result equals, bit for bit, that of the C++ library daskel_solver called with the
%   same arrays.
%
%   See also BUILD_DASKEL_MEX.
