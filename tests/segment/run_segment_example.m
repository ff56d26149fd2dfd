% Runs examples/segment_image.m on the bundled photograph and checks what it wrote.
% DASKEL_SOURCE_DIR and DASKEL_SEGMENT_OUTPUT come from the test's environment.
source_dir = getenv('DASKEL_SOURCE_DIR');
output = getenv('DASKEL_SEGMENT_OUTPUT');
if exist(output, 'file')
  delete(output);
end
labels = segment_image(fullfile(source_dir, 'data', 'camera.png'), output, 3);
written = imread(output);
assert(isequal(size(written), [512, 512, 3]));
assert(isequal(size(labels), [512, 512]));
assert(isequal(unique(labels(:))', 1:3));
% The sky (top left) is the brightest phase and the coat (lower left) the darkest.
assert(labels(20, 20) == 3);
assert(labels(300, 120) == 1);
disp('segment_image example: OK');
