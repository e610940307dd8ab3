#include "helper_engine/engine.hpp"

#include "helper_engine/store.hpp"
#include "support/uuid.hpp"

namespace vorn {

struct HelperEngine::Parts {
  Parts(platform::Platform& p, Clock& c, std::string id) : platform(p), clock(c), instance(std::move(id)) {}

  platform::Platform& platform;
  Clock& clock;
  const std::string instance;
  std::atomic<std::uint64_t> in_flight{0};
  std::atomic<bool> stopping{false};
  std::mutex state_lock;
  EngineState state;
  std::shared_ptr<SharedLog> log = std::make_shared<SharedLog>();
  std::mutex op_lock;
  std::mutex status_lock;
};

void push_log_str(SharedLog& log, std::string_view line) {
  std::string owned(line);
  std::lock_guard lock(log.lock);
  log.ring.push(std::move(owned));
}

Result<HelperEngine> HelperEngine::create(platform::Platform& platform, Clock& clock) {
  auto id = new_uuid_v4(platform.random);
  if (!id) return fail(id.error().context("helper: cannot make the engine instance id"));
  return HelperEngine(std::make_shared<Parts>(platform, clock, id->hyphenated()));
}

HelperEngine::HelperEngine(std::shared_ptr<Parts> parts) : parts_(std::move(parts)) {}

const std::string& HelperEngine::instance() const { return parts_->instance; }
platform::Platform& HelperEngine::platform() const { return parts_->platform; }
Clock& HelperEngine::clock() const { return parts_->clock; }
long HelperEngine::handle_count() const { return parts_.use_count(); }
std::atomic<std::uint64_t>& HelperEngine::in_flight() const { return parts_->in_flight; }
std::atomic<bool>& HelperEngine::stopping() const { return parts_->stopping; }
const std::shared_ptr<SharedLog>& HelperEngine::log() const { return parts_->log; }
std::mutex& HelperEngine::status_lock() const { return parts_->status_lock; }
std::mutex& HelperEngine::op_lock() const { return parts_->op_lock; }
std::mutex& HelperEngine::state_lock() const { return parts_->state_lock; }
EngineState& HelperEngine::state() const { return parts_->state; }

void HelperEngine::push_log(std::string line) const {
  std::lock_guard lock(parts_->log->lock);
  parts_->log->ring.push(std::move(line));
}

LogsData HelperEngine::logs(std::uint64_t since) const {
  std::lock_guard lock(parts_->log->lock);
  return parts_->log->ring.read(since);
}

bool owned_cleanup_confirmed(const HelperEngine& engine) { return engine.status().cleanup_confirmed.value_or(false); }

InFlightGuard::InFlightGuard(const HelperEngine& engine) : owner_(engine.parts_), count_(&engine.in_flight()) {
  count_->fetch_add(1);
}

InFlightGuard::InFlightGuard(InFlightGuard&& other) noexcept
    : owner_(std::move(other.owner_)), count_(std::exchange(other.count_, nullptr)) {}

InFlightGuard::~InFlightGuard() {
  if (count_ != nullptr) count_->fetch_sub(1);
}

}  // namespace vorn
