#include <gtest/gtest.h>

#include <functional>

#include "helper_engine/core_pins.hpp"
#include "helper_engine/engine.hpp"
#include "helper_engine/store.hpp"
#include "helper_service/dispatch.hpp"
#include "proc_guard/proc_guard.hpp"
#include "support/fake_platform.hpp"
#include "support/matchers.hpp"
#include "support/path_text.hpp"
#include "support/sha256.hpp"

namespace vorn {
namespace {

using testing::FailsExactly;
using testing::FakePlatform;
using testing::FakeProcess;

// The unit-test build pins these bytes (tests/CMakeLists.txt).
const std::string kCoreBytes = VORN_UNIT_CORE_BYTES;
const std::string kWintunBytes = VORN_UNIT_WINTUN_BYTES;
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

constexpr const char* kCoreDir = "C:\\ProgramData\\Vorn\\core";
constexpr const char* kCore = "C:\\ProgramData\\Vorn\\core\\sing-box.exe";
constexpr const char* kWintun = "C:\\ProgramData\\Vorn\\core\\wintun.dll";
constexpr const char* kCoreTmp = "C:\\ProgramData\\Vorn\\core\\sing-box.exe.tmp";
constexpr const char* kWintunTmp = "C:\\ProgramData\\Vorn\\core\\wintun.dll.tmp";
constexpr const char* kRecordPath = "C:\\ProgramData\\Vorn\\core\\sing-box.pid";
constexpr const char* kCoreSrc = "D:\\download\\sing-box.exe";
constexpr const char* kWintunSrc = "D:\\download\\wintun.dll";
constexpr const char* kProvisioned = "[helper] core + wintun provisioned into trusted dir";

std::string digest(std::string_view bytes) { return *sha256_hex(bytes); }

TEST(CorePins, VerifyCoreHashNamesStagePinAndDigest) {
  EXPECT_EQ(CORE_SHA256_PIN, digest(kCoreBytes));
  EXPECT_TRUE(verify_core_hash(kCoreBytes, "launch"));
  EXPECT_THAT(verify_core_hash("other", "provision"),
              FailsExactly("helper: core hash mismatch at provision (expected " + std::string(CORE_SHA256_PIN) +
                           ", got " + digest("other") + ")"));
  EXPECT_THAT(verify_core_hash("", "launch"), FailsExactly("helper: core hash mismatch at launch (expected " +
                                                            std::string(CORE_SHA256_PIN) + ", got " + kEmptyDigest + ")"));
}

TEST(CorePins, FileMatchesOnlyWithContentAndTheDigest) {
  FakePlatform fake;
  fake.files.files["C:\\a"] = "abc";
  fake.files.files["C:\\empty"] = "";
  EXPECT_TRUE(file_sha256_matches(fake.files, "C:\\a", digest("abc")));
  EXPECT_FALSE(file_sha256_matches(fake.files, "C:\\a", digest("abd")));
  EXPECT_FALSE(file_sha256_matches(fake.files, "C:\\a", "C:\\a"));
  EXPECT_FALSE(file_sha256_matches(fake.files, "C:\\empty", kEmptyDigest));  // empty is never trusted
  EXPECT_FALSE(file_sha256_matches(fake.files, "C:\\missing", kEmptyDigest));
}

TEST(CorePins, TheWintunLibraryIsReadOnlyAfterTheCoreMatched) {
  FakePlatform fake;
  fake.files.files[kCore] = "older core";
  fake.files.files[kWintun] = kWintunBytes;
  EXPECT_FALSE(core_files_trusted(fake.platform));
  EXPECT_EQ(fake.files.content_reads[kWintun], 0);
  fake.files.files[kCore] = kCoreBytes;
  EXPECT_TRUE(core_files_trusted(fake.platform));
  EXPECT_EQ(fake.files.content_reads[kWintun], 1);
}

TEST(CoreReadiness, HashesOnlyWhenAStampChanged) {
  FakePlatform fake;
  CoreReadyCache cache;
  auto& files = fake.files;
  files.files[kCore] = kCoreBytes;
  files.files[kWintun] = kWintunBytes;
  files.modified[kCore] = 100;
  files.modified[kWintun] = 200;
  auto reads = [&] { return files.content_reads[kCore] + files.content_reads[kWintun]; };

  EXPECT_TRUE(core_ready_cached(fake.platform, cache));
  EXPECT_EQ(reads(), 2);
  files.metadata_queries = 0;
  EXPECT_TRUE(core_ready_cached(fake.platform, cache));
  EXPECT_EQ(reads(), 2);  // warm: metadata only
  EXPECT_EQ(files.metadata_queries, 2);

  // Other bytes of the same size and time keep the cached answer.
  std::string same_size = kCoreBytes;
  same_size[0] ^= 1;
  files.files[kCore] = same_size;
  EXPECT_TRUE(core_ready_cached(fake.platform, cache));
  EXPECT_EQ(reads(), 2);

  // A new time: hashed again, and the mismatch is found.
  files.modified[kCore] = 101;
  EXPECT_FALSE(core_ready_cached(fake.platform, cache));
  EXPECT_EQ(files.content_reads[kCore], 2);
  EXPECT_FALSE(core_ready_cached(fake.platform, cache));
  EXPECT_EQ(files.content_reads[kCore], 2);

  // A missing file empties the cache and is never trusted.
  files.files[kCore] = kCoreBytes;
  files.files.erase(kWintun);
  EXPECT_FALSE(core_ready_cached(fake.platform, cache));
  EXPECT_FALSE(cache.entry.has_value());
  files.files[kWintun] = kWintunBytes;
  EXPECT_TRUE(core_ready_cached(fake.platform, cache));
  ASSERT_TRUE(cache.entry.has_value());
  EXPECT_EQ(cache.entry->core, (FileStamp{kCoreBytes.size(), 101}));
  EXPECT_EQ(cache.entry->wintun, (FileStamp{kWintunBytes.size(), 200}));
}

// ---------------------------------------------------------------- provisioning

class FakeChild final : public platform::ChildProcess {
 public:
  std::uint32_t pid() const override { return 31; }
  Result<std::optional<std::uint32_t>> exit_status() override { return std::optional<std::uint32_t>{}; }
  Status terminate(std::uint32_t) override { return {}; }
  std::unique_ptr<platform::OutputPipe> take_stdout() override { return nullptr; }
  std::unique_ptr<platform::OutputPipe> take_stderr() override { return nullptr; }
};

struct ProvisionFixture {
  FakePlatform fake;
  HelperEngine engine = *HelperEngine::create(fake.platform);

  ProvisionFixture() {
    fake.files.files[kCoreSrc] = kCoreBytes;
    fake.files.files[kWintunSrc] = kWintunBytes;
  }
  std::uint64_t stop_generation() {
    std::lock_guard lock(engine.state_lock());
    return engine.state().stop_generation;
  }
  bool store_has(const char* path) { return fake.files.files.count(path) != 0; }
  std::vector<std::string> log_lines() { return engine.logs(0).lines; }
};

TEST(Provision, InstallsBothFilesByTemporaryAndRename) {
  ProvisionFixture f;
  ASSERT_TRUE(f.engine.provision_core(kCoreSrc, kWintunSrc));
  EXPECT_EQ(f.fake.files.files[kCore], kCoreBytes);
  EXPECT_EQ(f.fake.files.files[kWintun], kWintunBytes);
  EXPECT_EQ(f.fake.files.renamed,
            (std::vector<std::pair<std::string, std::string>>{{kCoreTmp, kCore}, {kWintunTmp, kWintun}}));
  EXPECT_FALSE(f.store_has(kCoreTmp));
  EXPECT_FALSE(f.store_has(kWintunTmp));
  EXPECT_TRUE(f.fake.files.directories.count(kCoreDir));
  ASSERT_EQ(f.fake.processes.calls.size(), 1u);
  EXPECT_EQ(f.fake.processes.calls[0].program, "icacls");
  EXPECT_EQ(f.fake.processes.calls[0].args, core_dir_acl_arguments(kCoreDir));
  EXPECT_EQ(f.stop_generation(), 1u);
  EXPECT_EQ(f.log_lines(), std::vector<std::string>{kProvisioned});
  EXPECT_EQ(f.engine.in_flight().load(), 0u);
  // Both sources are read as bounded regular files.
  EXPECT_EQ(f.fake.files.read_limits[kCoreSrc], 536870912u);
  EXPECT_EQ(f.fake.files.read_limits[kWintunSrc], 536870912u);
  // Readiness follows the installed pair.
  CoreReadyCache cache;
  EXPECT_TRUE(core_ready_cached(f.fake.platform, cache));
}

TEST(Provision, EachFailureEndsAtItsStepWithItsText) {
  const std::string core_pin(CORE_SHA256_PIN);
  const std::string wintun_pin(WINTUN_SHA256_PIN);
  const std::string ours = serialize_proc_record({77, 5, "C:\\ProgramData\\Vorn\\core\\vorn-core-s.exe"});
  enum Reached { Nothing, Folder, CoreTemporary, Core, WintunTemporary };
  struct Case {
    const char* name;
    std::function<void(ProvisionFixture&)> setup;
    std::string error;
    std::uint64_t stop_generation;
    Reached reached;  // how far the store got
  } cases[] = {
      {"stopping", [](ProvisionFixture& f) { f.engine.stopping() = true; }, "E_CORE_ORPHAN: helper service is stopping",
       0, Nothing},
      {"core running",
       [](ProvisionFixture& f) {
         std::lock_guard lock(f.engine.state_lock());
         f.engine.state().core = std::make_unique<FakeChild>();
       },
       "helper: disconnect the tunnel before provisioning core", 0, Nothing},
      {"orphaned core still runs",
       [&](ProvisionFixture& f) {
         f.fake.files.files[kRecordPath] = ours;
         f.fake.processes.table[77] = FakeProcess{.created = 5, .image_path = "c:\\programdata\\vorn\\core\\vorn-core-s.exe"};
       },
       "E_CORE_ORPHAN{site=core_image-95}", 0, Nothing},
      {"folder cannot be made", [](ProvisionFixture& f) { f.fake.files.failing_directories.insert(kCoreDir); },
       "helper: create core dir: Access is denied. (os error 5)", 1, Nothing},
      {"missing core source", [](ProvisionFixture& f) { f.fake.files.files.erase(kCoreSrc); },
       "helper: read core source: The system cannot find the file specified. (os error 2)", 1, Folder},
      {"core source is a directory", [](ProvisionFixture& f) {
         f.fake.files.files.erase(kCoreSrc);
         f.fake.files.directories.insert(kCoreSrc);
       },
       "helper: read core source: the path names a directory, not a regular file", 1, Folder},
      {"empty core source", [](ProvisionFixture& f) { f.fake.files.files[kCoreSrc] = ""; },
       "helper: core source is empty", 1, Folder},
      {"other core bytes", [](ProvisionFixture& f) { f.fake.files.files[kCoreSrc] = "other"; },
       "helper: core hash mismatch at provision (expected " + core_pin + ", got " + digest("other") + ")", 1, Folder},
      {"missing wintun source", [](ProvisionFixture& f) { f.fake.files.files.erase(kWintunSrc); },
       "helper: read wintun source: The system cannot find the file specified. (os error 2)", 1, Folder},
      {"empty wintun source", [](ProvisionFixture& f) { f.fake.files.files[kWintunSrc] = ""; },
       "helper: wintun hash mismatch (expected " + wintun_pin + ", got " + kEmptyDigest + ")", 1, Folder},
      {"core write fails", [](ProvisionFixture& f) { f.fake.files.failing_writes.insert(kCoreTmp); },
       "helper: write core: Access is denied. (os error 5)", 1, Folder},
      {"core rename fails", [](ProvisionFixture& f) { f.fake.files.failing_renames.insert(kCore); },
       "helper: install core: Access is denied. (os error 5)", 1, CoreTemporary},
      {"wintun write fails", [](ProvisionFixture& f) { f.fake.files.failing_writes.insert(kWintunTmp); },
       "helper: write wintun: Access is denied. (os error 5)", 1, Core},
      {"wintun rename fails", [](ProvisionFixture& f) { f.fake.files.failing_renames.insert(kWintun); },
       "helper: install wintun: Access is denied. (os error 5)", 1, WintunTemporary},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProvisionFixture f;
    c.setup(f);
    EXPECT_THAT(f.engine.provision_core(kCoreSrc, kWintunSrc), FailsExactly(c.error));
    EXPECT_EQ(f.stop_generation(), c.stop_generation);
    EXPECT_EQ(f.fake.files.directories.count(kCoreDir) != 0, c.reached >= Folder);
    EXPECT_EQ(f.fake.processes.calls.size(), c.reached >= Folder ? 1u : 0u);  // icacls
    EXPECT_EQ(f.store_has(kCoreTmp), c.reached == CoreTemporary);  // temporaries stay after a failure
    EXPECT_EQ(f.store_has(kCore), c.reached >= Core);
    EXPECT_EQ(f.store_has(kWintunTmp), c.reached == WintunTemporary);
    EXPECT_FALSE(f.store_has(kWintun));
    EXPECT_TRUE(f.log_lines().empty());
    EXPECT_EQ(f.engine.in_flight().load(), 0u);
    EXPECT_TRUE(f.fake.processes.terminated.empty());
  }
}

TEST(Provision, PathsOnAnotherMachineAreRefusedBeforeAnyOpen) {
  struct Case {
    std::string path;
    bool network;
  } cases[] = {
      {R"(\\server\share\sing-box.exe)", true},
      {"//server/share/sing-box.exe", true},
      {R"(\/server\share\sing-box.exe)", true},
      {R"(\\localhost\pipe\vorn-helper)", true},  // this machine, but through the redirector
      {R"(\\127.0.0.1\c$\sing-box.exe)", true},
      {R"(\\server)", true},
      {R"(\\.server\share\x)", true},
      {R"(\\?\UNC\server\share\sing-box.exe)", true},
      {R"(\\?\unc\server\share\sing-box.exe)", true},
      {R"(\\.\UNC\server\share\sing-box.exe)", true},
      {"//?/UNC/server/share/sing-box.exe", true},
      {"//./unc/server/share/sing-box.exe", true},
      {R"(\??\UNC\server\share\sing-box.exe)", true},
      {R"(\\?\UNC)", true},
      {R"(\\?\Global\UNC\server\share\sing-box.exe)", true},
      {R"(\\?\GLOBALROOT\Device\Mup\server\share\sing-box.exe)", true},
      {R"(\\.\globalroot\device\mup\server\share\sing-box.exe)", true},
      {R"(\\?\GLOBALROOT\\Device\\Mup\server\share\x)", true},
      {R"(\\?\GLOBALROOT\Device\LanmanRedirector\server\share\x)", true},
      {R"(\\?\GLOBALROOT\Device\WebDavRedirector\server\x)", true},
      {R"(\\?\GLOBALROOT\Device\RdpDr\x)", true},
      {R"(\??\GLOBALROOT\Device\Mup\server\share\x)", true},
      {R"(\\?\GLOBALROOT\??\UNC\server\share\x)", true},
      {R"(\\?\GLOBALROOT\GLOBAL??\UNC\server\share\x)", true},
      {R"(\\?\GLOBALROOT\DosDevices\UNC\server\share\x)", true},
      {R"(\\?\GLOBALROOT\GLOBAL??\Global\GLOBALROOT\Device\Mup\server\x)", true},
      // Local, or another device that the file layer refuses itself.
      {R"(C:\src\sing-box.exe)", false},
      {"C:/src/sing-box.exe", false},
      {R"(src\sing-box.exe)", false},
      {R"(\src\sing-box.exe)", false},
      {R"(\\?\C:\src\sing-box.exe)", false},
      {R"(\\.\C:\src\sing-box.exe)", false},
      {R"(\??\C:\src\sing-box.exe)", false},
      {R"(\\?\Volume{0b1c2d3e-0000-0000-0000-100000000000}\sing-box.exe)", false},
      {R"(\\?\UNCLE\x)", false},
      {R"(\\?\GLOBALROOT\Device\HarddiskVolume1\sing-box.exe)", false},
      {R"(\\?\GLOBALROOT\Device\Mupx\y)", false},
      {R"(\\.\pipe\vorn-helper)", false},
      {R"(\??\pipe\vorn-helper)", false},
      {R"(\\.)", false},
  };
  const std::string cause = "the path names another machine (a network path); only local files are read";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(names_network_path(c.path), c.network);
    for (const bool core_side : {true, false}) {
      ProvisionFixture f;
      const std::string outer = core_side ? "helper: read core source: " : "helper: read wintun source: ";
      const auto result =
          core_side ? f.engine.provision_core(c.path, kWintunSrc) : f.engine.provision_core(kCoreSrc, c.path);
      if (c.network) {
        EXPECT_THAT(result, FailsExactly(outer + cause));
        EXPECT_EQ(f.fake.files.read_limits.count(c.path), 0u);  // never opened
      } else {
        EXPECT_THAT(result, FailsExactly(outer + "The system cannot find the file specified. (os error 2)"));
        EXPECT_EQ(f.fake.files.read_limits.count(c.path), 1u);
      }
      EXPECT_FALSE(f.store_has(kCore));
    }
  }
}

TEST(Provision, AStaleRecordIsDeletedAndProvisioningGoesOn) {
  ProvisionFixture f;
  f.fake.files.files[kRecordPath] = serialize_proc_record({77, 5, "C:\\ProgramData\\Vorn\\core\\vorn-core-s.exe"});
  ASSERT_TRUE(f.engine.provision_core(kCoreSrc, kWintunSrc));  // 77 is gone: 87
  EXPECT_FALSE(f.store_has(kRecordPath));
  EXPECT_TRUE(f.store_has(kCore));
}

TEST(Provision, TheDispatcherAnswersProvisionedOrTheErrorChain) {
  ProvisionFixture f;
  const Request request = cmd::ProvisionCore{kCoreSrc, kWintunSrc};
  Response ok = dispatch_request(f.engine, request);
  ASSERT_TRUE(std::holds_alternative<ResponseOk>(ok));
  EXPECT_EQ(std::get<ResponseOk>(ok).data, Json({{"provisioned", true}}));
  f.fake.files.files.erase(kWintunSrc);
  Response failed = dispatch_request(f.engine, request);
  ASSERT_TRUE(std::holds_alternative<ResponseError>(failed));
  EXPECT_EQ(std::get<ResponseError>(failed).message,
            "helper: read wintun source: The system cannot find the file specified. (os error 2)");
}

}  // namespace
}  // namespace vorn
