function check_options(caller, given, expected)
% Raises an error unless the option words in GIVEN are exactly EXPECTED (compared
% without regard to case, as the hosts' own parsers compare them).
if numel(given) ~= numel(expected) || ~all(cellfun(@ischar, given)) || ~all(strcmpi(given, expected))
  error('Vandrel:fallback', '%s: only the options %s are supported', caller, strjoin(expected, ', '));
end
end
