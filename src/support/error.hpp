// Failures travel as values: a message, an optional chain of causes, and
// optionally an operating-system code or a setup failure that callers recognise
// again later by type.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// The error of the setup modes; its code becomes the process exit code.
struct SetupFailure {
  std::int32_t code = 1;
  std::string detail;
};

class Error {
 public:
  explicit Error(std::string message);
  explicit Error(SetupFailure failure);

  // "{system text} (os error {code})", keeping the numeric code.
  static Error os(std::uint32_t code, std::string_view system_text);

  // A new error whose message is `outer` and whose first cause is this one.
  [[nodiscard]] Error context(std::string outer) const&;
  [[nodiscard]] Error context(std::string outer) &&;

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }
  std::optional<std::uint32_t> os_code() const { return os_code_; }

  // The outer message and every cause, joined by ": ".
  std::string full() const;

  // The first setup failure anywhere in the chain, outer first.
  const SetupFailure* find_setup_failure() const;

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
  std::optional<std::uint32_t> os_code_;
  std::optional<SetupFailure> setup_;
};

// What a caught exception says of itself: its what() text, or nothing for
// one that is no std::exception.
std::optional<std::string> exception_text(std::exception_ptr failure);

template <class T>
using Result = std::expected<T, Error>;

using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error(std::move(message)));
}

inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

}  // namespace vorn
