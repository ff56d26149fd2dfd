function [labels, levels] = segment_image(input, output, phases)
% SEGMENT_IMAGE  Split an image into regions of similar intensity with DASKEL_mex.
%   [LABELS, LEVELS] = SEGMENT_IMAGE(INPUT, OUTPUT, PHASES) reads the image file INPUT (grey or
%   colour; colour counts by its luma), labels every pixel with one of PHASES phases (default 3)
%   and writes the labelling to OUTPUT as a colour PNG (default 'segmented.png'). LABELS is the
%   rows x cols labelling, 1 for the darkest phase up to PHASES for the brightest; LEVELS holds
%   the phase intensities.
%
%   These are the steps of the command-line tool daskel-segment, with its default settings:
%   - The starting intensities c(k) minimise the within-phase sum of squares over the histogram
%     (found exactly, by dynamic programming) of each pixel's 5 x 5 or 3 x 3 mean where that
%     window is flat, that is varies no more than twice the noise variance estimated from the
%     median difference between neighbouring pixels.
%   - The data cost of phase k at a pixel is (I - c(k))^2 / (2 s2), with I the intensity on a
%     0 to 1 scale and s2 the noise variance of the labelling (of the first, each pixel at its
%     nearest level, or the neighbours' estimate where larger), counted from the pixel's cheapest
%     phase and clipped at penalty * K / (K - 1), the spread below which the solver's sweep
%     cannot clamp two phases to 1 together.
%     The noise variance is at least that of a deviation of 1/256 of the smallest gap g between
%     the levels, so that a * I + b gives the labels of I.
%   - The total-variation weight is tvWeight where noise of the first labelling's variance
%     carries 1 % of the pixels or more across a midpoint (erfc(g / (2 sqrt(2 s2))) >= 0.01), in
%     proportion below, none on a clean image: there a pixel a whole level from its neighbours
%     is real. Below the full weight each round starts from the last labelling blended in the
%     same proportion with the uniform one.
%   - Each of the following rounds reads the most likely phase of every pixel (a tie in the soft
%     labelling goes to the cheaper phase), moves each c(k) towards the mean of its phase's
%     interior pixels (by at most a quarter of the gap to a neighbouring level) and calls
%     DASKEL_mex again from the previous labelling, until the rounds settle or all have run:
%     after the first round once its labels give back its costs (no level moves 1 % of g, the
%     variance no more than 5 %), after a later one once at most 1 in 1000 pixels changed phase
%     and no level moved 1 % of g.
%
%   The tool also takes a fine regular texture (stripes, checks) as regions of its window means;
%   this example leaves that step out and labels the intensities as they stand.
%
%   Needs DASKEL_mex on the path. Without arguments it segments the bundled data/camera.png.
%
%   Example:
%     labels = segment_image('data/camera.png', 'camera-phases.png', 3);

if nargin < 1 || isempty(input)
  % The bundled photograph: beside this file where it is built (build/mex) or installed, else in
  % the source tree's data/ folder beside examples/.
  here = fileparts(mfilename('fullpath'));
  input = fullfile(here, 'camera.png');
  if ~exist(input, 'file')
    input = fullfile(here, '..', 'data', 'camera.png');
  end
end
if nargin < 2 || isempty(output)
  output = 'segmented.png';
end
if nargin < 3 || isempty(phases)
  phases = 3;
end
tvWeight = double(single(0.4));
penalty = 2;
rounds = 8;

intensity = read_intensity(input);
[rows, cols] = size(intensity);
if rows < 2 || cols < 2
  error('segment_image: the image must be at least 2 x 2 pixels');
end

noise = noise_variance(intensity);
levels = kmeans_levels(flat_window_means(intensity, noise), phases);
variance = max(label_variance(intensity, nearest_labels(intensity, levels), levels), noise);
spread_limit = penalty * phases / (phases - 1);
costs = data_costs(intensity, levels, variance, spread_limit);
u = ones(rows, cols, phases, 'single') / phases;
% The smoothing follows the noise of this first labelling; a round below the full weight starts
% from the last labelling blended with the uniform one in proportion.
weight = smoothing_weight(tvWeight, variance, levels);
carried = 1;
if tvWeight > 0
  carried = double(single(weight) / single(tvWeight));
end
params = single([rows, cols, phases, weight, penalty]);
labels = [];
settled = false;
for pass = 1:rounds
  if pass > 1
    previous = labels;
    labels = hard_labels(u, costs);
    used = levels;
    levels = move_levels(levels, phase_means(intensity, labels, levels));
    next_variance = label_variance(intensity, labels, levels);
    % Settled: no level moved 1 % of the smallest gap, and after the first round the variance
    % moved no more than 5 %, after a later one at most 1 in 1000 pixels changed.
    settled = max(abs(levels - used)) <= 0.01 * min(diff(used));
    if pass == 2
      settled = settled && abs(next_variance - variance) <= 0.05 * variance;
    else
      settled = settled && nnz(labels ~= previous) <= 1e-3 * numel(labels);
    end
    if settled
      break;
    end
    variance = next_variance;
    costs = data_costs(intensity, levels, variance, spread_limit);
    if carried < 1
      u = single(carried * double(u) + (1 - carried) / phases);
    end
  end
  u = DASKEL_mex(costs, params, u);
end
if ~settled
  labels = hard_labels(u, costs);
  levels = move_levels(levels, phase_means(intensity, labels, levels));
end

palette = uint8([31 119 180; 255 127 14; 44 160 44; 214 39 40; 148 103 189; 140 86 75; ...
                 227 119 194; 127 127 127; 188 189 34; 23 190 207; 174 199 232; 255 187 120; ...
                 152 223 138; 255 152 150; 197 176 213; 196 156 148]);
if phases > size(palette, 1)
  palette = repmat(palette, ceil(phases / size(palette, 1)), 1);
end
imwrite(reshape(palette(labels(:), :), rows, cols, 3), output);

fprintf('%s: %d x %d pixels, %d phases\n', input, cols, rows, phases);
fprintf('phase  intensity  pixels\n');
for k = 1:phases
  fprintf('%5d  %9.*f  %5.1f %%\n', k - 1, max(3, min(9, 1 - floor(log10(min(diff(levels)))))), ...
          levels(k), 100 * mean(labels(:) == k));
end
fprintf('wrote %s\n', output);
end

function intensity = read_intensity(input)
% Intensities on a 0 to 1 scale, rounded to single like the tool's; colour becomes luma.
[picture, map] = imread(input);
if ~isempty(map)
  picture = round(255 * ind2rgb(picture, map));
  scale = 255;
elseif isinteger(picture)
  scale = double(intmax(class(picture)));
else
  scale = 1;
end
picture = double(picture);
if size(picture, 3) >= 3
  picture = 0.299 * picture(:, :, 1) + 0.587 * picture(:, :, 2) + 0.114 * picture(:, :, 3);
end
intensity = double(single(picture(:, :, 1) / scale));
end

function variance = noise_variance(intensity)
% From the median absolute difference of neighbouring pixels (the upper median, as the tool).
differences = sort([reshape(abs(diff(intensity, 1, 1)), [], 1); ...
                    reshape(abs(diff(intensity, 1, 2)), [], 1)]);
deviation = differences(floor(numel(differences) / 2) + 1) / (0.6745 * sqrt(2));
variance = deviation ^ 2;
end

function means = flat_window_means(intensity, noise)
% Each pixel's 5 x 5, else 3 x 3 window mean where the window varies no more than twice the
% noise variance; the window is cut off at the border. Sums run column by column in the window.
[rows, cols] = size(intensity);
means = intensity;
done = false(rows, cols);
for radius = [2 1]
  padded = nan(rows + 2 * radius, cols + 2 * radius);
  padded(radius + 1:radius + rows, radius + 1:radius + cols) = intensity;
  total = zeros(rows, cols);
  count = zeros(rows, cols);
  for dx = -radius:radius
    for dy = -radius:radius
      window = padded(radius + 1 + dy:radius + rows + dy, radius + 1 + dx:radius + cols + dx);
      inside = ~isnan(window);
      total(inside) = total(inside) + window(inside);
      count = count + inside;
    end
  end
  mean_value = total ./ count;
  squares = zeros(rows, cols);
  for dx = -radius:radius
    for dy = -radius:radius
      window = padded(radius + 1 + dy:radius + rows + dy, radius + 1 + dx:radius + cols + dx);
      inside = ~isnan(window);
      squares(inside) = squares(inside) + (window(inside) - mean_value(inside)) .^ 2;
    end
  end
  flat = ~done & squares ./ count <= 2 * noise;
  means(flat) = double(single(mean_value(flat)));
  done = done | flat;
end
end

function levels = kmeans_levels(values, phases)
% The levels of least within-phase sum of squares over a 4096-bin histogram of the values, by
% dynamic programming over the bins; the extra levels of a histogram with fewer bins than phases
% halve the widest gaps between the levels found (of [0, 1] around a single one).
bins = 4096;
low = min(values(:));
range = max(values(:)) - low;
position = zeros(numel(values), 1);
if range > 0
  position = (values(:) - low) / range;
end
bin = min(floor(position * bins), bins - 1) + 1;
count = accumarray(bin, 1, [bins 1]);
sums = accumarray(bin, values(:), [bins 1]);
squares = accumarray(bin, values(:) .^ 2, [bins 1]);
used = count > 0;
n = [0; cumsum(count(used))];
s = [0; cumsum(sums(used))];
q = [0; cumsum(squares(used))];
m = numel(n) - 1;
found = min(phases, m);
% within(a, b): sum of squares of bins a .. b - 1 (prefix positions, 1-based).
within = @(a, b) (q(b) - q(a)) - (s(b) - s(a)) .^ 2 ./ (n(b) - n(a));
cost = inf(found, m + 1);
split = zeros(found, m + 1);
cost(1, 2:m + 1) = within(1, 2:m + 1);
for c = 2:found
  for j = c + 1:m + 1
    starts = c:j - 1;
    [cost(c, j), best] = min(cost(c - 1, starts) + within(starts, j)');
    split(c, j) = starts(best);
  end
end
levels = zeros(1, found);
last = m + 1;
for c = found:-1:1
  first = 1;
  if c > 1
    first = split(c, last);
  end
  levels(c) = double(single((s(last) - s(first)) / (n(last) - n(first))));
  last = first;
end
while numel(levels) < phases
  if found < 2
    bounds = [0 levels 1];
    [~, widest] = max(diff(bounds));
    at = widest;
  else
    bounds = levels;
    [~, widest] = max(diff(bounds));
    at = widest + 1;
  end
  levels = [levels(1:at - 1), double(single((bounds(widest) + bounds(widest + 1)) / 2)), ...
            levels(at:end)];
end
end

function labels = nearest_labels(intensity, levels)
[~, labels] = min((intensity(:) - levels) .^ 2, [], 2);
labels = reshape(labels, size(intensity));
end

function interior = interior_pixels(labels)
% Whether the up, down, left and right neighbours inside the grid share the pixel's label.
interior = true(size(labels));
interior(2:end, :) = interior(2:end, :) & labels(2:end, :) == labels(1:end - 1, :);
interior(1:end - 1, :) = interior(1:end - 1, :) & labels(1:end - 1, :) == labels(2:end, :);
interior(:, 2:end) = interior(:, 2:end) & labels(:, 2:end) == labels(:, 1:end - 1);
interior(:, 1:end - 1) = interior(:, 1:end - 1) & labels(:, 1:end - 1) == labels(:, 2:end);
end

function means = phase_means(intensity, labels, levels)
% Over the interior pixels of each phase, or all its pixels when fewer than a quarter are
% interior; a phase without pixels keeps its level.
interior = interior_pixels(labels);
means = levels;
for k = 1:numel(levels)
  own = labels == k;
  inner = own & interior;
  if any(inner(:)) && nnz(inner) >= 0.25 * nnz(own)
    means(k) = double(single(sum(intensity(inner)) / nnz(inner)));
  elseif any(own(:))
    means(k) = double(single(sum(intensity(own)) / nnz(own)));
  end
end
end

function variance = label_variance(intensity, labels, levels)
% Mean squared distance of the interior pixels (all, when none is interior) to their level.
interior = interior_pixels(labels);
if ~any(interior(:))
  interior(:) = true;
end
distance = intensity(interior) - reshape(levels(labels(interior)), [], 1);
variance = max(sum(distance .^ 2) / nnz(interior), variance_floor(levels));
end

function floor_value = variance_floor(levels)
% A deviation of 1/256 of the smallest gap between the levels.
floor_value = (min(diff(levels)) / 256) ^ 2;
end

function weight = smoothing_weight(tvWeight, variance, levels)
% tvWeight in proportion to the share of pixels the noise carries across a midpoint, up to 1 %.
gap = min(diff(levels));
strays = erfc(gap / (2 * sqrt(2) * sqrt(max(variance, variance_floor(levels)))));
weight = double(single(tvWeight * min(1, strays / 0.01)));
end

function levels = move_levels(levels, means)
% Towards the means, at most a quarter of the gap to each neighbour, in single like the tool.
old = single(levels);
target = single(means);
for k = 1:numel(levels)
  if k > 1
    target(k) = max(target(k), old(k) - single(0.25) * (old(k) - old(k - 1)));
  end
  if k < numel(levels)
    target(k) = min(target(k), old(k) + single(0.25) * (old(k + 1) - old(k)));
  end
end
levels = double(target);
end

function costs = data_costs(intensity, levels, variance, spread_limit)
% (I - c(k))^2 / (2 s2) less the pixel's least such cost, at most the spread limit.
squared = (intensity(:) - levels) .^ 2 * (1 / (2 * max(variance, variance_floor(levels))));
costs = single(min(squared - min(squared, [], 2), spread_limit));
costs = reshape(costs, [size(intensity), numel(levels)]);
end

function labels = hard_labels(u, costs)
% The phase of largest u; a tie goes to the lower cost, then to the lower phase.
costs(u < max(u, [], 3)) = inf;
[~, labels] = min(costs, [], 3);
end
