function test_malformed_campaign()
% A seeded campaign of malformed calls: each takes a well-formed call on a random small grid and
% breaks it in one to three ways (wrong class, complex or sparse data, empty or short arrays,
% short or non-finite params, dimensions out of range, too few inputs). Every call must raise a
% DASKEL_mex: error and leave no output, and a good call after it must still be exact.
%
% The campaign's length follows a time budget, so that a slow or loaded machine makes fewer
% calls instead of running past the test's timeout: it makes its calls until
% DASKEL_CAMPAIGN_SECONDS (default 60) have passed, at least 300 and at most 3000 of them, and
% says how many it made. DASKEL_CAMPAIGN_CALLS makes exactly that many, to repeat a run;
% DASKEL_CAMPAIGN_SEED sets the seed (default 2026). A given seed makes the same calls in the
% same order, so a run of N calls is the first N calls of any longer one.
fixed = env_number('DASKEL_CAMPAIGN_CALLS', 0);
budget = env_number('DASKEL_CAMPAIGN_SECONDS', 60);
seed = env_number('DASKEL_CAMPAIGN_SEED', 2026);
rand('state', seed);
[gc, gp, gu] = daskel_test_example();
faults = {@wrong_class, @complex_data, @sparse_data, @emptied, @shortened, @bad_params, ...
          @bad_dimension, @few_inputs};  % dropping inputs comes last, after the other faults
ids = struct();
start = tic;
n = 0;
while another_call(n, fixed, budget, toc(start))
  n += 1;
  [args, what] = well_formed();
  chosen = unique(randi(numel(faults), 1, randi(3)));  % ascending, each fault once
  for f = chosen
    [args, change] = faults{f}(args);
    what = [what ', ' change];
  end
  clear result
  err = [];
  try
    result = DASKEL_mex(args{:});
  catch err
  end
  context = sprintf('call %d (%s)', n, what);
  assert(~isempty(err), '%s: no error was raised', context);
  assert(strncmp(err.identifier, 'DASKEL_mex:', 11), '%s: error "%s" (%s) is not DASKEL_mex:', ...
         context, err.identifier, err.message);
  assert(~exist('result', 'var'), '%s: an output was created', context);
  key = strrep(err.identifier, 'DASKEL_mex:', '');
  if isfield(ids, key)
    ids.(key) += 1;
  else
    ids.(key) = 1;
  end
  daskel_check_example(DASKEL_mex(gc, gp, gu), [context ', the good call after it']);
end
names = fieldnames(ids);
summary = strjoin(cellfun(@(k) sprintf('%s %d', k, ids.(k)), names, 'UniformOutput', false), ', ');
printf(['test_malformed_campaign: %d malformed calls in %.0f s, each raised a DASKEL_mex: error ' ...
        '(%s); DASKEL_CAMPAIGN_CALLS=%d DASKEL_CAMPAIGN_SEED=%d repeats them\n'], n, toc(start), ...
       summary, n, seed);
end

function go = another_call(made, fixed, budget, elapsed)
if fixed > 0
  go = made < fixed;
else
  go = made < 300 || (made < 3000 && elapsed < budget);
end
end

function [args, what] = well_formed()
rows = randi([2 6]);
cols = randi([2 6]);
phases = randi([1 4]);
costs = rand(rows, cols, phases, 'single');
u0 = rand(rows, cols, phases, 'single');
params = single([rows cols phases rand() 0.5 + rand()]);
args = {costs, params, u0};
what = sprintf('%dx%dx%d', rows, cols, phases);
end

function [args, what] = wrong_class(args)
k = randi(3);
makers = {@double, @int8, @uint8, @int16, @uint16, @int32, @uint32, @int64, @uint64, ...
          @logical, @(x) char(65 + mod(abs(double(x)), 26)), @(x) {x}, @(x) struct('v', x), ...
          @(x) @sin};
m = randi(numel(makers));
args{k} = makers{m}(args{k});
what = sprintf('input %d as %s', k, class(args{k}));
end

function [args, what] = complex_data(args)
k = randi(3);
x = args{k};
if ~(isnumeric(x) || islogical(x) || ischar(x))
  x = single(1);
end
args{k} = complex(single(x), single(randi(2) - 1));
what = sprintf('input %d complex', k);
end

function [args, what] = sparse_data(args)
k = randi(3);
x = args{k};
if islogical(x) || isnumeric(x)
  args{k} = sparse(double(reshape(x, size(x, 1), [])));
else
  args{k} = sparse(1);
end
what = sprintf('input %d sparse', k);
end

function [args, what] = emptied(args)
k = randi(3);
empties = {single([]), zeros(0, 3, 'single'), [], ''};
args{k} = empties{randi(numel(empties))};
what = sprintf('input %d empty %s', k, class(args{k}));
end

function [args, what] = shortened(args)
% costs or u0 one element short of rows*cols*phases, or a single slice of a multi-phase volume.
k = 2 * randi(2) - 1;
x = args{k};
if isnumeric(x) && ~isempty(x)
  args{k} = x(1:end - 1);
else
  args{k} = single(1);
end
what = sprintf('input %d short', k);
end

function [args, what] = bad_params(args)
p = params_row(args{2});
choice = randi(4);
switch choice
  case 1
    p = p(1:randi([0 4]));
    what = sprintf('params of %d elements', numel(p));
  case 2
    specials = single([NaN Inf -Inf]);
    p(4) = specials(randi(3));
    what = sprintf('tvWeight %g', p(4));
  otherwise
    specials = single([0 -0 -1 NaN Inf -Inf -1e-30 1e-40]);
    p(5) = specials(randi(numel(specials)));
    what = sprintf('penalty %g', p(5));
end
args{2} = p;
end

function [args, what] = bad_dimension(args)
p = params_row(args{2});
d = randi(3);
values = single([NaN Inf -Inf 0 0.99 1.5 -2 -3e9 3e9 2^31 65536]);
if d == 3
  values = single([NaN Inf -Inf 0 0.99 -1 -3e9 3e9 2^31 2^30]);
end
p(d) = values(randi(numel(values)));
if d < 3 && p(d) == 65536
  p(3 - d) = 32768;  % rows*cols beyond the int32 range
end
args{2} = p;
what = sprintf('params(%d) = %g', d, p(d));
end

function p = params_row(p)
% The params of a call as a full single row of at least five elements, to break one of them.
if ~(isnumeric(p) && isreal(p) && ~issparse(p) && numel(p) >= 5)
  p = single([3 3 2 0.5 1]);
end
p = single(full(double(p(:)')));
end

function [args, what] = few_inputs(args)
n = randi([0 2]);
args = args(1:n);
what = sprintf('%d inputs', n);
end

function value = env_number(name, default)
text = getenv(name);
if isempty(text)
  value = default;
else
  value = str2double(text);
end
end
