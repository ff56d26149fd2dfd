function test_interrupt()
% Ctrl-C during a long solve. A child octave-cli reads its commands from a pipe, one a line, as
% from its prompt: there an interrupt abandons the command in progress and Octave goes on with
% the next one (with --eval or a script, octave-cli would exit instead, with status 1). A shell
% beside the child sends it SIGINT early in the first outer iteration of the call; it is not
% a child of the interrupted Octave, since Octave 7 can hang in its signal handler when the
% SIGCHLD of one of its children arrives together with the SIGINT.
%
% The call must come back well before the solve would have ended (the interrupt is seen before
% the next outer iteration), through Octave's interrupt rather than an error, with no output
% assigned and no working buffer left mapped; the next call must give the uninterrupted result.
here = fileparts(mfilename('fullpath'));
module = fileparts(which('DASKEL_mex'));
folder = tempname();
mkdir(folder);
cleanup = onCleanup(@() remove_folder(folder));
ready = fullfile(folder, 'ready');  % the child writes the delay here as the call starts
commands = fullfile(folder, 'commands.m');
output = fullfile(folder, 'output.txt');

% Each line is one command. The solve of the problem takes some 3 s on this build; a second one
% starts from a u0 with an infinity, whose change measure ends the solve after one outer
% iteration: as long as an interrupted call should take, as the interrupt comes a quarter into
% that iteration.
lines = {
  sprintf('addpath(''%s'', ''%s''); [c, p, u0] = daskel_interrupt_problem(3);', module, here)
  'one = u0; one(1) = Inf; t = tic; DASKEL_mex(c, p, one); T1 = toc(t); t = tic; full = DASKEL_mex(c, p, u0); T = toc(t);'
  'printf(''size %d x %d x %d\none %.6f\nfull %.6f\n'', size(c), T1, T);'
  'vm = @() str2double(regexp(fileread(''/proc/self/status''), ''VmSize:\s*(\d+)'', ''tokens'', ''once''){1}); before = vm();'
  sprintf('f = fopen(''%s'', ''w''); fprintf(f, ''%%.3f\\n'', T1 / 4); fclose(f); t = tic; u = DASKEL_mex(c, p, u0); printf(''not interrupted\\n'');', ready)
  'printf(''elapsed %.6f\nassigned %d\ngrowth %d\nvolume %d\n'', toc(t), exist(''u'', ''var''), vm() - before, 4 * numel(c) / 1024);'
  'printf(''same %d\n'', daskel_same_bits(DASKEL_mex(c, p, u0), full)); exit(0)'
};
f = fopen(commands, 'w');
fprintf(f, '%s\n', lines{:});
fclose(f);

octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
shell = sprintf(['"%s" --no-gui --quiet --no-init-file --no-history < "%s" > "%s" 2>&1 & ' ...
                 'child=$!; ' ...
                 'while [ ! -s "%s" ] && kill -0 $child 2>/dev/null; do sleep 0.02; done; ' ...
                 'if [ -s "%s" ]; then sleep "$(cat "%s")"; kill -INT $child; fi; ' ...
                 'wait $child'], octave, commands, output, ready, ready, ready);
status = system(shell);
text = fileread(output);
assert(status == 0, 'the child octave-cli ended with status %d:\n%s', status, text);
assert(isempty(strfind(text, 'error:')), 'the child raised an error:\n%s', text);
assert(isempty(strfind(text, 'not interrupted')), 'the call was not interrupted:\n%s', text);
value = @(name) sscanf(regexp(text, ['^' name ' (\S+)'], 'tokens', 'once', 'lineanchors'){1}, '%f');
[one, full, elapsed] = deal(value('one'), value('full'), value('elapsed'));
assert(full > 2 * one, 'the solve (%.2f s) is too short beside its first outer iteration (%.2f s)', ...
       full, one);
% An interrupt seen only when the call returns would let the whole solve run.
assert(elapsed < (one + full) / 2, ...
       'the interrupted call took %.2f s; one outer iteration takes %.2f s, the solve %.2f s', ...
       elapsed, one, full);
assert(value('assigned') == 0, 'the interrupted call assigned its output');
% The working volumes of these grids (from 48 pixels a side) are mappings of their own, each of a
% volume and at least 2 MiB more: five of them would stay were the state not released.
[growth, volume] = deal(value('growth'), value('volume'));
assert(growth < 2 * volume + 4096, ...
       'the process grew by %d KiB (one volume is %d KiB) over the interrupted call', growth, volume);
assert(value('same') == 1, 'the call after the interrupt differs from the uninterrupted one');
printf(['test_interrupt: %s x %s x %s, back after %.2f s; one outer iteration takes %.2f s, ' ...
        'the solve %.2f s\n'], regexp(text, 'size (\d+) x (\d+) x (\d+)', 'tokens', 'once'){:}, ...
       elapsed, one, full);
end

function remove_folder(folder)
confirm_recursive_rmdir(false, 'local');
if exist(folder, 'dir')
  rmdir(folder, 's');
end
end
