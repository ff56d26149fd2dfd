function test_host_out_of_memory()
% The host's own allocation of the result, in a child octave-cli whose address space has room
% for the input but not for a result of the same size: the caller still gets
% DASKEL_mex:outOfMemory, since the gateway tries that much memory before it asks the host.
if ~isempty(strfind(getenv('LD_PRELOAD'), 'asan'))
  printf('SKIPPED: AddressSanitizer reserves more address space than the limit allows\n');
  exit(77);
end
dims = [5000 10000 2];  % 400 MB of single: the input, and the result alike
resultKiB = prod(dims) * 4 / 1024;
measured = child_call(dims, false, 0);
inputKiB = sscanf(measured, 'input ready, VmSize %d kB');
assert(~isempty(inputKiB), 'the child printed "%s"', measured);
limitKiB = inputKiB + resultKiB / 2;
reply = child_call(dims, true, limitKiB);
assert(~isempty(strfind(reply, 'identifier "DASKEL_mex:outOfMemory"')), ...
       'under a limit of %d kB the call gave: %s', limitKiB, reply);
printf('test_host_out_of_memory: DASKEL_mex:outOfMemory under %d kB\n', limitKiB);
end

function reply = child_call(dims, call, limitKiB)
limit = '';
if limitKiB > 0
  limit = sprintf('ulimit -v %d; ', round(limitKiB));
end
here = fileparts(mfilename('fullpath'));
module = fileparts(which('DASKEL_mex'));
script = sprintf('addpath(''%s'', ''%s''); daskel_call_of_size(%d, %d, %d, %d)', module, here, ...
                 dims, call);
command = sprintf('%sexec "%s" --no-gui --quiet --no-init-file --no-history --eval "%s" 2>&1', ...
                  limit, fullfile(OCTAVE_HOME(), 'bin', 'octave-cli'), script);
[~, reply] = system(command);
end
