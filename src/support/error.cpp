#include "support/error.hpp"

#include <fmt/format.h>

namespace vorn {

Error::Error(std::string message) : message_(std::move(message)) {}

Error::Error(SetupFailure failure)
    : message_(fmt::format("setup stage {}: {}", failure.code, failure.detail)),
      setup_(std::move(failure)) {}

Error Error::os(std::uint32_t code, std::string_view system_text) {
  Error error(fmt::format("{} (os error {})", system_text, code));
  error.os_code_ = code;
  return error;
}

Error Error::context(std::string outer) const& { return Error(*this).context(std::move(outer)); }

Error Error::context(std::string outer) && {
  Error wrapped(std::move(outer));
  wrapped.cause_ = std::make_shared<const Error>(std::move(*this));
  return wrapped;
}

std::string Error::full() const {
  std::string text = message_;
  for (const Error* c = cause(); c != nullptr; c = c->cause()) {
    text += ": ";
    text += c->message_;
  }
  return text;
}

const SetupFailure* Error::find_setup_failure() const {
  for (const Error* e = this; e != nullptr; e = e->cause()) {
    if (e->setup_) return &*e->setup_;
  }
  return nullptr;
}

std::optional<std::string> exception_text(std::exception_ptr failure) {
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace vorn
