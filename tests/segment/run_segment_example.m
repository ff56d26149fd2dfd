% Runs examples/segment_image.m on the bundled photograph and checks what it wrote, and that it
% takes the steps of daskel-segment: the same levels and the same labels as the tool.
% DASKEL_SOURCE_DIR, DASKEL_SEGMENT_OUTPUT and (when the tool is built) DASKEL_SEGMENT_TOOL come
% from the test's environment.
source_dir = getenv('DASKEL_SOURCE_DIR');
output = getenv('DASKEL_SEGMENT_OUTPUT');
if exist(output, 'file')
  delete(output);
end
photograph = fullfile(source_dir, 'data', 'camera.png');
[labels, levels] = segment_image(photograph, output, 3);
written = imread(output);
assert(isequal(size(written), [512, 512, 3]));
assert(isequal(size(labels), [512, 512]));
assert(isequal(unique(labels(:))', 1:3));
% The sky (top left) is the brightest phase and the coat (lower left) the darkest.
assert(labels(20, 20) == 3);
assert(labels(300, 120) == 1);

tool = getenv('DASKEL_SEGMENT_TOOL');
if ~isempty(tool)
  tool_labels = [output '.tool-labels.png'];
  [status, text] = system(sprintf('"%s" "%s" "%s.tool.png" --labels "%s"', tool, photograph, ...
                                  output, tool_labels));
  assert(status == 0, text);
  % The tool prints each phase as "k  level  share %", levels to three decimals.
  rows = regexp(text, '(?m)^\s*(\d+)\s+([\d.]+)\s+[\d.]+ %$', 'tokens');
  tool_levels = cellfun(@(row) str2double(row{2}), rows);
  assert(numel(tool_levels) == 3, text);
  assert(max(abs(levels - tool_levels)) <= 0.0005 + 1e-9, ...
         sprintf('levels %s, the tool''s %s', mat2str(levels, 4), mat2str(tool_levels)));
  same = mean(labels(:) == double(imread(tool_labels)(:)) + 1);
  assert(same >= 0.9995, sprintf('only %.4f of the labels agree with the tool''s', same));
  delete(tool_labels, [output '.tool.png']);
end
% Without arguments, from another folder, it finds the bundled photograph wherever it lies.
here = pwd;
cd(tempdir);
default_output = [output '.default.png'];
[default_labels, default_levels] = segment_image([], default_output);
cd(here);
assert(isequal(default_labels, labels) && isequal(default_levels, levels));
delete(default_output);
disp('segment_image example: OK');
