function test_library_match()
% A call through the host gives the same bits as the host-free library call on the same
% arrays: random sizes and parameters, fractional dimensions, inputs larger than the volume,
% and inputs laced with NaNs (with payloads), infinities and negative zeros.
rand('seed', 11);
cases = {
  % rows  cols  phases  tvWeight  penalty  extra elements  special values
  {2,     2,    1,      0.5,      1,       0,              false}
  {2,     2,    3,      0.25,     2,       0,              false}
  {2,     9,    2,      0.1,      0.5,     5,              false}
  {9,     2,    2,      1.5,      3,       0,              false}
  {7,     8,    3,      0.3,      1.5,     0,              false}
  {16,    13,   4,      0.05,     0.7,     31,             false}
  {31,    29,   2,      2,        0.25,    0,              false}
  {12,    10,   5,      -0.4,     1,       0,              false}
  {10,    11,   3,      0,        1,       0,              false}
  {11,    12,   1,      0.5,      1,       3,              false}
  {8,     9,    3,      0.3,      1,       0,              true}
  {20,    17,   2,      0.2,      0.8,     7,              true}
};
for n = 1:numel(cases)
  [M, N, K, tvWeight, penalty, extra, special] = cases{n}{:};
  count = M * N * K;
  costs = single(2 * rand(1, count + extra) - 1);
  u0 = single(rand(1, count + extra));
  if special
    costs = lace(costs);
    u0 = lace(u0);
  end
  % Random fractional parts show that the host truncates as the library is called.
  params = single([M + 0.99 * rand(), N + 0.99 * rand(), K + 0.99 * rand(), tvWeight, penalty]);
  costs = reshape(costs, 1, 1, []);  % any shape will do; only the element order counts
  host = DASKEL_mex(costs, params, u0);
  library = daskel_reference_call(costs, params, u0);
  assert(daskel_same_bits(host, library), 'case %d (%dx%dx%d): host and library differ', ...
         n, M, N, K);
  if ~special
    assert(all(isfinite(host(:))), 'case %d: non-finite result from finite inputs', n);
  end
end
printf('test_library_match: all %d cases passed\n', numel(cases));
end

function x = lace(x)
% Puts quiet NaNs with payloads, infinities and negative zeros at random places.
specials = typecast(uint32([hex2dec('7FC00001'), hex2dec('FFC12345'), hex2dec('7F800000'), ...
                            hex2dec('FF800000'), hex2dec('80000000')]), 'single');
where = find(rand(size(x)) < 0.05);
x(where) = specials(1 + mod(0:numel(where) - 1, numel(specials)));
end
