function daskel_check_example(u, context)
% Asserts that u is the exact result of daskel_test_example.
assert(isa(u, 'single') && isreal(u) && isequal(size(u), [4 5 2]), ...
       '%s: result is not a real single 4x5x2 array', context);
assert(isequal(u(:, :, 1), ones(4, 5, 'single')) && isequal(u(:, :, 2), zeros(4, 5, 'single')), ...
       '%s: result differs from the exact two-phase labelling', context);
end
