function labels = segment_image(input, output, phases)
% SEGMENT_IMAGE  Split an image into regions of similar intensity with DASKEL_mex.
%   LABELS = SEGMENT_IMAGE(INPUT, OUTPUT, PHASES) reads the image file INPUT (grey or colour;
%   colour counts by its luma), labels every pixel with one of PHASES phases (default 3) and
%   writes the labelling to OUTPUT as a colour PNG (default 'segmented.png'). LABELS is the
%   rows x cols labelling, 1 for the darkest phase up to PHASES for the brightest.
%
%   The data cost of phase k at a pixel is (I - c(k))^2 / (2 s2), with I the intensity on a
%   0 to 1 scale, c(k) the phase intensity and s2 the noise variance. The c(k) start from a
%   k-means of the 5 x 5 local means; each of the following rounds re-estimates them from the
%   labelling and calls DASKEL_mex again from the previous labelling. The settings are those of
%   the command-line tool daskel-segment.
%
%   Needs DASKEL_mex on the path. Without arguments it segments the bundled data/camera.png.
%
%   Example:
%     labels = segment_image('data/camera.png', 'camera-phases.png', 3);

if nargin < 1 || isempty(input)
  input = fullfile(fileparts(mfilename('fullpath')), '..', 'data', 'camera.png');
end
if nargin < 2 || isempty(output)
  output = 'segmented.png';
end
if nargin < 3 || isempty(phases)
  phases = 3;
end
tvWeight = 0.4;
penalty = 4;
rounds = 8;

% Intensities on a 0 to 1 scale; colour becomes luma.
[picture, map] = imread(input);
if ~isempty(map)
  picture = ind2rgb(picture, map);  % values already in [0, 1]
  scale = 1;
elseif isinteger(picture)
  scale = double(intmax(class(picture)));
else
  scale = 1;
end
picture = double(picture) / scale;
if size(picture, 3) >= 3
  picture = 0.299 * picture(:, :, 1) + 0.587 * picture(:, :, 2) + 0.114 * picture(:, :, 3);
end
intensity = picture(:, :, 1);
[rows, cols] = size(intensity);
if rows < 2 || cols < 2
  error('segment_image: the image must be at least 2 x 2 pixels');
end

% Starting phase intensities: k-means of the local means, which noise does not smear.
window = ones(5);
smooth = conv2(intensity, window, 'same') ./ conv2(ones(rows, cols), window, 'same');
levels = kmeans_levels(smooth(:), phases);
[~, nearest] = min(abs(intensity(:) - levels(:)'), [], 2);
variance = noise_variance(intensity(:), nearest, levels);

params = single([rows, cols, phases, tvWeight, penalty]);
u = ones(rows, cols, phases, 'single') / phases;
costs = zeros(rows, cols, phases, 'single');
step = ones(1, phases);
last_move = zeros(1, phases);
for pass = 1:rounds
  if pass > 1
    % Re-estimate from each pixel's most likely phase. A level whose move turns back halves its
    % step, so that a band of pixels cannot flip between two phases from round to round.
    [~, labels] = max(u, [], 3);
    for k = 1:phases
      if any(labels(:) == k)
        move = mean(intensity(labels == k)) - levels(k);
        if move * last_move(k) < 0
          step(k) = step(k) / 2;
        end
        last_move(k) = move;
        levels(k) = levels(k) + step(k) * move;
      end
    end
    variance = noise_variance(intensity(:), labels(:), levels);
  end
  for k = 1:phases
    costs(:, :, k) = (intensity - levels(k)) .^ 2 / (2 * variance);
  end
  u = DASKEL_mex(costs, params, u);
end

% Number the phases by increasing intensity; max picks the lower phase on a tie.
[levels, order] = sort(levels);
u = u(:, :, order);
[~, labels] = max(u, [], 3);

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
  fprintf('%5d  %9.3f  %5.1f %%\n', k - 1, levels(k), 100 * mean(labels(:) == k));
end
fprintf('wrote %s\n', output);
end

function levels = kmeans_levels(values, phases)
% Lloyd's iteration from evenly spaced levels between the smallest and largest value.
low = min(values);
high = max(values);
levels = low + ((1:phases) - 0.5) / phases * (high - low);
for iteration = 1:200
  [~, nearest] = min(abs(values - levels), [], 2);
  previous = levels;
  for k = 1:phases
    if any(nearest == k)
      levels(k) = mean(values(nearest == k));
    end
  end
  if isequal(levels, previous)
    break;
  end
end
levels = sort(levels);
end

function variance = noise_variance(values, labels, levels)
% Mean squared distance to the own phase's intensity, at least (1/255)^2.
variance = max(mean((values - levels(labels(:))') .^ 2), 1 / 255^2);
end
