function daskel_call_of_size(rows, cols, phases, call)
% Child of test_host_out_of_memory: makes one single array of rows x cols x phases, prints the
% process's virtual size, then (when CALL is true) calls DASKEL_mex with that array as costs
% and u0 and prints the identifier and message of the error it raises.
x = zeros(rows, cols, phases, 'single');
size = regexp(fileread('/proc/self/status'), 'VmSize:\s*(\d+)', 'tokens', 'once');
printf('input ready, VmSize %s kB\n', size{1});
if call
  try
    DASKEL_mex(x, single([rows cols phases 0.5 1]), x);
    printf('no error\n');
  catch err
    printf('identifier "%s": %s\n', err.identifier, err.message);
  end
end
end
