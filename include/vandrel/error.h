#pragma once
#include <stdexcept>
#include <string>

namespace vandrel {

/// The one error type of the filter: an identifier such as
/// "EMLRT:runTime:WrongNumberOfInputs" or "Vandrel:invalidSigma", and a message.
/// Each front end turns it into its own form (a host error, a message and exit code).
class Error : public std::runtime_error {
 public:
  Error(std::string identifier, const std::string& message)
      : std::runtime_error(message), identifier_(std::move(identifier)) {}
  const std::string& identifier() const noexcept { return identifier_; }

 private:
  std::string identifier_;
};

}  // namespace vandrel
