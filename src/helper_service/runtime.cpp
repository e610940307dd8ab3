#include "helper_service/runtime.hpp"

#include <algorithm>
#include <system_error>

namespace vorn {

Result<std::unique_ptr<Runtime>> Runtime::create() {
  std::unique_ptr<Runtime> rt(new Runtime());
  try {
    rt->work_.emplace(rt->io_.get_executor());
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < workers; ++i) rt->workers_.emplace_back([io = &rt->io_] { io->run(); });
    rt->blocking_ = std::make_unique<asio::thread_pool>(BLOCKING_POOL_THREADS);
  } catch (const std::system_error& e) {
    return fail(Error::os(static_cast<std::uint32_t>(e.code().value()), e.code().message()));
  }
  return rt;
}

Runtime::~Runtime() {
  work_.reset();
  io_.stop();
  for (auto& t : workers_) t.join();
  if (blocking_) {
    blocking_->stop();
    blocking_->join();
  }
}

}  // namespace vorn
