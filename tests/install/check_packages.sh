#!/usr/bin/env bash
# Makes the Debian packages of a build tree with CPack, unpacks them with dpkg -x into a scratch
# root (the files apt would install, without touching the system), and runs from there the tool,
# a DASKEL_mex call with its help and segment_image() in Octave, and the Python package.
#   check_packages.sh BUILD_DIR WORK_DIR SOURCE_DIR
# HOST_ENVIRONMENT, words of NAME=VALUE, goes to the hosts (octave-cli, python3) alone: a sanitized
# build's runtime, which the uninstrumented hosts must preload.
set -euo pipefail
read -r -a host_environment <<<"${HOST_ENVIRONMENT:-}"
build=$1 work=$2 source=$3
rm -rf "$work"
mkdir -p "$work/root"
(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
for deb in "$work"/packages/*.deb; do
  dpkg-deb -f "$deb" Package Depends
  dpkg -x "$deb" "$work/root"
done
usr=$work/root/usr

if [ -x "$usr/bin/daskel-segment" ]; then
  "$usr/bin/daskel-segment" --version
  "$usr/bin/daskel-segment" "$source/data/camera.png" "$work/phases.png" --labels "$work/labels.tif"
fi

site=$(find "$usr/lib" -name DASKEL_mex.mex -path '*octave/site*' -printf '%h\n' 2>/dev/null | head -n 1)
if [ -n "$site" ] && command -v octave-cli >/dev/null; then
  (cd "$work" && env "${host_environment[@]}" octave-cli --no-gui --quiet --no-init-file --no-history --eval "
    addpath('$site');
    costs = cat(3, zeros(4, 5, 'single'), ones(4, 5, 'single'));
    u = DASKEL_mex(costs, single([4 5 2 0.5 1]), 0.5 * ones(4, 5, 2, 'single'));
    assert(all(u(:, :, 1)(:) == 1) && all(u(:, :, 2)(:) == 0));
    assert(strcmp(fileparts(which('DASKEL_mex')), '$site'));
    assert(~isempty(strfind(evalc('help DASKEL_mex'), 'DASKEL_mex:penaltyTooSmall')));
    [labels, levels] = segment_image([], 'octave-phases.png');
    assert(isequal(size(labels), [512 512]) && numel(levels) == 3);
    disp('the packaged DASKEL_mex: OK')")
fi

python=${DASKEL_PYTHON:-/usr/bin/python3}
if [ -d "$usr/lib/python3/dist-packages/daskel" ]; then
  (cd "$work" && env "${host_environment[@]}" PYTHONPATH="$usr/lib/python3/dist-packages" \
    "$python" -c "
import numpy as np, daskel
assert daskel.__file__.startswith('$usr/'), daskel.__file__
image = np.zeros((40, 60), np.uint8)
image[:, 30:] = 200
assert np.array_equal(daskel.segment(image, phases=2).labels, image > 100)
print('the packaged daskel', daskel.__version__ + ': OK')")
fi
echo "the packages install and run"
