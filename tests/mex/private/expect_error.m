function expect_error(call, identifier, fragment)
% Fails unless CALL() raises an error with IDENTIFIER (when not empty) whose message
% contains FRAGMENT.
try
  call();
catch err
  if ~isempty(identifier) && ~strcmp(err.identifier, identifier)
    error('test:failed', 'expected error %s, got %s: %s', identifier, err.identifier, err.message);
  end
  if isempty(strfind(err.message, fragment))
    error('test:failed', 'expected the message to contain "%s", got: %s', fragment, err.message);
  end
  return;
end
error('test:failed', 'expected error %s (%s), but the call succeeded', identifier, fragment);
end
