// Server ends of the control pipe, with overlapped I/O driven by the
// asynchronous runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "support/error.hpp"

namespace vorn::platform {

// The CreateNamedPipeW arguments other than the name and security attributes.
struct PipeInstanceParams {
  std::uint32_t open_mode = 0;
  std::uint32_t pipe_mode = 0;
  std::uint32_t max_instances = 0;
  std::uint32_t out_buffer_bytes = 0;
  std::uint32_t in_buffer_bytes = 0;
  std::uint32_t default_timeout_ms = 0;
};

// One connected (or listening) server instance.
class PipeInstance {
 public:
  virtual ~PipeInstance() = default;
  // Waits until a client has connected to this instance.
  virtual asio::awaitable<Status> wait_for_client() = 0;
  // Some of the bytes that have arrived; 0 once the client closed its end.
  virtual asio::awaitable<Result<std::size_t>> read_some(std::span<char> buffer) = 0;
  virtual asio::awaitable<Result<std::size_t>> write_some(std::span<const char> bytes) = 0;
  // Cancels the I/O now pending on this instance, from any thread; the
  // operation completes with an error. A cancel that comes before
  // wait_for_client has issued its connect makes that wait fail at once, so a
  // stop cannot slip in between deciding to listen and listening. Once the
  // instance is closed a cancel does nothing: it never reaches whatever object
  // the closed handle's value names next.
  virtual void cancel_io() = 0;
  // Closes the handle (no disconnect call); safe beside cancel_io on another
  // thread.
  virtual void close() = 0;
};

// A security descriptor built from an SDDL string, freed with the object.
class PipeSecurity {
 public:
  virtual ~PipeSecurity() = default;
};

class Pipes {
 public:
  virtual ~Pipes() = default;
  virtual Result<std::unique_ptr<PipeSecurity>> security_descriptor(const std::string& sddl) = 0;
  virtual Result<std::unique_ptr<PipeInstance>> create_instance(const asio::any_io_executor& executor, const std::string& name,
                                                                const PipeInstanceParams& params, const PipeSecurity& security) = 0;
};

}  // namespace vorn::platform
