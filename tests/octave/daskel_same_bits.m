function same = daskel_same_bits(a, b)
% True when a and b are single arrays of one size holding the same bit patterns (NaN payloads
% and signs of zero included).
same = isa(a, 'single') && isa(b, 'single') && isequal(size(a), size(b)) && ...
       isequal(typecast(a(:), 'uint32'), typecast(b(:), 'uint32'));
end
