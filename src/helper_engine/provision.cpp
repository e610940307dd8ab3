#include <fmt/format.h>

#include "core_image/core_image.hpp"
#include "helper_engine/core_pins.hpp"
#include "helper_engine/engine.hpp"
#include "helper_engine/orphan_errors.hpp"
#include "helper_engine/store.hpp"
#include "support/path_text.hpp"
#include "support/sha256.hpp"

namespace vorn {
namespace {

// The sources are paths chosen by the client and read as SYSTEM: a pipe or a
// device could block the read for ever and an endless file would exhaust
// memory, so only regular files up to this size are read.
constexpr std::uint64_t SOURCE_MAX_BYTES = 512ull * 1024 * 1024;

Status install(platform::FileSystem& files, std::string_view target, std::string_view extension,
               std::string_view bytes, const char* write_error, const char* install_error) {
  const std::string temporary = with_extension(target, extension);
  if (auto written = files.write_file(temporary, bytes); !written) return fail(written.error().context(write_error));
  if (auto renamed = files.rename_over(temporary, target); !renamed) return fail(renamed.error().context(install_error));
  return {};
}

// A path on another machine would make the server there receive this
// machine's credentials at the open, before any check of what it names, so
// such a path is refused by its text alone.
Result<std::string> read_source(platform::FileSystem& files, const std::string& path) {
  if (names_network_path(path)) {
    return fail("the path names another machine (a network path); only local files are read");
  }
  return files.read_regular_file(path, SOURCE_MAX_BYTES);
}

}  // namespace

Status HelperEngine::provision_core(const std::string& core_src, const std::string& wintun_src) const {
  InFlightGuard guard(*this);
  std::lock_guard op(op_lock());
  if (stopping().load()) return fail(orphan::SERVICE_STOPPING);
  {
    std::lock_guard state_guard(state_lock());
    if (state().core) return fail("helper: disconnect the tunnel before provisioning core");
  }
  platform::Platform& os = platform();
  const std::string core_path = trusted_core_path(os.environment);
  const std::string wintun_path = trusted_wintun_path(os.environment);
  if (auto guarded = guard_replacement_launch(os, core_record_path(os.environment), core_path); !guarded) {
    return guarded;
  }
  {
    std::lock_guard state_guard(state_lock());
    ++state().stop_generation;
  }
  if (auto created = os.files.create_directories(core_dir(os.environment)); !created) {
    return fail(created.error().context("helper: create core dir"));
  }
  harden_core_dir_acl(os);

  auto core = read_source(os.files, core_src);
  if (!core) return fail(core.error().context("helper: read core source"));
  if (core->empty()) return fail("helper: core source is empty");
  if (auto verified = verify_core_hash(*core, "provision"); !verified) return verified;

  auto wintun = read_source(os.files, wintun_src);
  if (!wintun) return fail(wintun.error().context("helper: read wintun source"));
  auto wintun_digest = sha256_hex(*wintun);
  if (!wintun_digest) return fail(wintun_digest.error().context("helper: hash wintun source"));
  if (*wintun_digest != WINTUN_SHA256_PIN) {
    return fail(fmt::format("helper: wintun hash mismatch (expected {}, got {})", WINTUN_SHA256_PIN, *wintun_digest));
  }

  if (auto done = install(os.files, core_path, "exe.tmp", *core, "helper: write core", "helper: install core"); !done) {
    return done;
  }
  if (auto done = install(os.files, wintun_path, "dll.tmp", *wintun, "helper: write wintun", "helper: install wintun");
      !done) {
    return done;
  }
  push_log_str(*log(), "[helper] core + wintun provisioned into trusted dir");
  return {};
}

}  // namespace vorn
