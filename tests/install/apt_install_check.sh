#!/usr/bin/env bash
# Installs the Debian packages of a build tree on this machine with apt, checks that the tool, an
# Octave call without addpath and `import daskel` from Debian's python3 work from the installed
# files, and removes the packages again. For CI's fresh machines (it needs root, or sudo).
#   apt_install_check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
(cd "$build" && cpack -G DEB >/dev/null)
packages=("$build"/packages/*.deb)
names=()
for deb in "${packages[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
remove() { DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -q --purge "${names[@]}" >/dev/null; }
trap remove EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${packages[@]}"

scratch=$(mktemp -d)
cd "$scratch"
daskel-segment --version
daskel-segment "$(find /usr/lib -name camera.png -path "*octave*" | head -n 1)" phases.png --quiet
octave-cli --no-gui --quiet --no-init-file --no-history --eval "
  u = DASKEL_mex(cat(3, zeros(4, 5, 'single'), ones(4, 5, 'single')), single([4 5 2 0.5 1]), ...
                 0.5 * ones(4, 5, 2, 'single'));
  assert(all(u(:, :, 1)(:) == 1));
  assert(~isempty(strfind(evalc('help DASKEL_mex'), 'DASKEL_mex:penaltyTooSmall')));
  assert(strncmp(which('DASKEL_mex'), '/usr/lib/', 9));
  disp(which('DASKEL_mex'))"
env -u PYTHONPATH /usr/bin/python3 -c "
import daskel
assert daskel.__file__.startswith('/usr/lib/python3/dist-packages/'), daskel.__file__
print(daskel.__file__, daskel.__version__)"
cd /
rm -rf "$scratch"
echo "the packages install with apt and run"
