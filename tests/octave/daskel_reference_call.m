function u = daskel_reference_call(costs, params, u0)
% The host-free library's result for the DASKEL_mex call (costs, params, u0), computed by the
% program in $DASKEL_REFERENCE from the truncated dimensions and the first rows*cols*phases
% elements of costs and u0.
program = getenv('DASKEL_REFERENCE');
assert(~isempty(program), 'DASKEL_REFERENCE is not set');
dims = fix(double(params(1:3)));
count = prod(dims);
input = [tempname() '.in'];
output = [tempname() '.out'];
cleanup = onCleanup(@() delete_files(input, output));

fid = fopen(input, 'w', 'ieee-le');
fwrite(fid, int32(dims), 'int32');
fwrite(fid, typecast(params(4:5), 'uint32'), 'uint32');
fwrite(fid, typecast(costs(1:count), 'uint32'), 'uint32');  % bit patterns, NaN payloads too
fwrite(fid, typecast(u0(1:count), 'uint32'), 'uint32');
fclose(fid);

[status, text] = system(sprintf('"%s" "%s" "%s"', program, input, output));
assert(status == 0, 'reference program failed (%d): %s', status, text);
fid = fopen(output, 'r', 'ieee-le');
bits = fread(fid, Inf, 'uint32=>uint32');
fclose(fid);
assert(numel(bits) == count, 'reference program wrote %d values, not %d', numel(bits), count);
u = reshape(typecast(bits, 'single'), dims);  % [M N] when K is 1, as the host makes it
end

function delete_files(varargin)
for k = 1:numel(varargin)
  if exist(varargin{k}, 'file')
    delete(varargin{k});
  end
end
end
