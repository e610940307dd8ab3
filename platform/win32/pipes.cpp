#include <fmt/format.h>

#include <asio/async_result.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/buffer.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/system_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <asio/windows/stream_handle.hpp>
#include <mutex>

#include "platform/pipes.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

Error io_error(const asio::error_code& ec) {
  if (ec.category() == asio::system_category()) return win32::os_error(static_cast<DWORD>(ec.value()));
  return Error(ec.message());
}

enum class ConnectOutcome { pending, connected, failed };

// ERROR_PIPE_CONNECTED: the client came before the call. ERROR_NO_DATA: it
// came and has already closed its end; reading then gives the end of stream.
ConnectOutcome connect_outcome(BOOL ok, DWORD error) {
  if (ok || error == ERROR_IO_PENDING) return ConnectOutcome::pending;
  if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return ConnectOutcome::connected;
  return ConnectOutcome::failed;
}

// Lets a dropped wait (a coroutine selection that another branch won) end the
// pending ConnectNamedPipe, as asio's own handle operations do for reads.
class ConnectCancellation {
 public:
  ConnectCancellation(HANDLE pipe, OVERLAPPED* overlapped) : pipe_(pipe), overlapped_(overlapped) {}
  void operator()(asio::cancellation_type_t type) {
    if (!!(type & (asio::cancellation_type::terminal | asio::cancellation_type::partial |
                   asio::cancellation_type::total))) {
      ::CancelIoEx(pipe_, overlapped_);
    }
  }

 private:
  HANDLE pipe_;
  OVERLAPPED* overlapped_;
};

// An overlapped ConnectNamedPipe completed through the handle's completion
// port. The check of `cancelled` and the issue of the connect happen under
// `lock`, the lock cancel_io takes, so a cancel is either seen here or finds
// the connect pending.
template <class Token>
auto async_connect(asio::windows::stream_handle& pipe, std::mutex& lock, const bool& cancelled, Token&& token) {
  return asio::async_initiate<Token, void(asio::error_code, std::size_t)>(
      [&pipe, &lock, &cancelled](auto handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        asio::windows::overlapped_ptr overlapped(pipe.get_executor(), std::move(handler));
        std::unique_lock guard(lock);
        if (cancelled || !pipe.is_open()) {
          guard.unlock();
          overlapped.complete(asio::error_code(ERROR_OPERATION_ABORTED, asio::system_category()), 0);
          return;
        }
        if (slot.is_connected()) slot.template emplace<ConnectCancellation>(pipe.native_handle(), overlapped.get());
        const BOOL ok = ::ConnectNamedPipe(pipe.native_handle(), overlapped.get());
        const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
        guard.unlock();
        switch (connect_outcome(ok, error)) {
          case ConnectOutcome::pending:
            overlapped.release();
            return;
          case ConnectOutcome::connected:
            if (slot.is_connected()) slot.clear();
            overlapped.complete(asio::error_code(), 0);
            return;
          case ConnectOutcome::failed:
            if (slot.is_connected()) slot.clear();
            overlapped.complete(asio::error_code(static_cast<int>(error), asio::system_category()), 0);
            return;
        }
      },
      token);
}

class WindowsPipeSecurity final : public PipeSecurity {
 public:
  explicit WindowsPipeSecurity(PSECURITY_DESCRIPTOR descriptor) : descriptor_(descriptor) {}
  PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }

 private:
  win32::unique_hlocal descriptor_;
};

class WindowsPipeInstance final : public PipeInstance {
 public:
  explicit WindowsPipeInstance(asio::windows::stream_handle pipe) : pipe_(std::move(pipe)) {}

  asio::awaitable<Status> wait_for_client() override {
    asio::error_code ec;
    try {
      co_await async_connect(pipe_, lock_, cancelled_, asio::redirect_error(asio::use_awaitable, ec));
    } catch (const asio::system_error& e) {
      co_return fail(io_error(e.code()));
    }
    if (ec) co_return fail(io_error(ec));
    co_return Status{};
  }

  asio::awaitable<Result<std::size_t>> read_some(std::span<char> buffer) override {
    asio::error_code ec;
    std::size_t got = 0;
    try {
      got = co_await pipe_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                           asio::redirect_error(asio::use_awaitable, ec));
    } catch (const asio::system_error& e) {
      co_return fail(io_error(e.code()));
    }
    // The client closing its end shows as a broken pipe on a named pipe.
    if (ec == asio::error::eof || (ec.category() == asio::system_category() && ec.value() == ERROR_BROKEN_PIPE)) {
      co_return std::size_t{0};
    }
    if (ec) co_return fail(io_error(ec));
    co_return got;
  }

  asio::awaitable<Result<std::size_t>> write_some(std::span<const char> bytes) override {
    asio::error_code ec;
    std::size_t written = 0;
    try {
      written = co_await pipe_.async_write_some(asio::buffer(bytes.data(), bytes.size()),
                                                asio::redirect_error(asio::use_awaitable, ec));
    } catch (const asio::system_error& e) {
      co_return fail(io_error(e.code()));
    }
    if (ec) co_return fail(io_error(ec));
    co_return written;
  }

  // CancelIoEx touches nothing of Asio's, so it is safe beside an operation
  // running on another thread. The lock keeps close from ending the handle
  // between the check and the call: a handle value closed a moment earlier
  // may already name the next listening instance.
  void cancel_io() override {
    std::lock_guard guard(lock_);
    cancelled_ = true;
    if (pipe_.is_open()) ::CancelIoEx(pipe_.native_handle(), nullptr);
  }

  void close() override {
    std::lock_guard guard(lock_);
    asio::error_code ignored;
    pipe_.close(ignored);
  }

  ~WindowsPipeInstance() override { close(); }

 private:
  asio::windows::stream_handle pipe_;
  std::mutex lock_;
  bool cancelled_ = false;  // read only by a connect not issued yet
};

class WindowsPipes final : public Pipes {
 public:
  Result<std::unique_ptr<PipeSecurity>> security_descriptor(const std::string& sddl) override {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const BOOL ok = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::wide(sddl).c_str(), SDDL_REVISION_1,
                                                                          &descriptor, nullptr);
    if (!ok || descriptor == nullptr) {
      return fail(fmt::format("helper: could not build the pipe security descriptor (error {})",
                              win32::last_error().message()));
    }
    return std::make_unique<WindowsPipeSecurity>(descriptor);
  }

  Result<std::unique_ptr<PipeInstance>> create_instance(const asio::any_io_executor& executor, const std::string& name,
                                                        const PipeInstanceParams& params,
                                                        const PipeSecurity& security) override {
    const auto* own = dynamic_cast<const WindowsPipeSecurity*>(&security);
    if (own == nullptr) return fail("pipe security descriptor was not built by this platform layer");
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), own->descriptor(), FALSE};
    win32::unique_hfile handle(::CreateNamedPipeW(win32::wide(name).c_str(), params.open_mode, params.pipe_mode,
                                                  params.max_instances, params.out_buffer_bytes,
                                                  params.in_buffer_bytes, params.default_timeout_ms, &attributes));
    if (!handle) return fail(win32::last_error());
    asio::windows::stream_handle pipe(executor);
    asio::error_code ec;
    pipe.assign(handle.get(), ec);
    if (ec) return fail(io_error(ec));
    handle.release();
    return std::make_unique<WindowsPipeInstance>(std::move(pipe));
  }
};

}  // namespace

Pipes& win32_pipes() {
  static WindowsPipes pipes;
  return pipes;
}

}  // namespace vorn::platform
