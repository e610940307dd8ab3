// "provision_core" through the real pipe: the test build of the helper, whose
// pins are the digests of the stand-in files beside these tests, and the
// product build, which carries the real pins.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "helper_process.hpp"
#include "platform/win32/system.hpp"
#include "proc_guard/proc_guard.hpp"
#include "support/json.hpp"
#include "support/sha256.hpp"

namespace vorn::wintest {
namespace {

using ::testing::StartsWith;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string utf8(const std::wstring& w) { return win32::narrow(w); }

std::string standin(const wchar_t* name) { return utf8(own_folder() + L"\\" + name); }

std::string digest_of_file(const std::string& path) {
  return *sha256_hex(read_text_file(win32::wide(path)));
}

// The reply's status and, for an error, its message.
struct Reply {
  std::string status;
  std::string message;
  Json data;
};

Reply provision(const std::string& token, const std::string& core_src, const std::string& wintun_src) {
  const Json request = {{"token", token},
                        {"request", {{"cmd", "provision_core"}, {"core_src", core_src}, {"wintun_src", wintun_src}}}};
  const std::string line = round_trip(request.dump() + "\n");
  Json reply = Json::parse(line, nullptr, false);
  if (reply.is_discarded() || !reply.is_object()) return {"<unreadable> " + line, "", {}};
  return {reply.value("status", ""), reply.value("message", ""), reply.value("data", Json())};
}

std::vector<std::wstring> temporaries_in(const std::wstring& folder) {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data{};
  win32::unique_hfind search(::FindFirstFileW((folder + L"\\*.tmp").c_str(), &data));
  if (!search) return found;
  do {
    found.push_back(data.cFileName);
  } while (::FindNextFileW(search.get(), &data));
  return found;
}

void write_file(const std::wstring& path, const std::string& bytes) {
  ASSERT_TRUE(platform::win32_platform().files.write_file(utf8(path), bytes));
}

class ProvisionThroughPipe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new std::wstring(make_temp_folder(L"vorn-provision-"));
    helper_ = new ConsoleHelper(*store_, built_exe(L"vorn-helper-testpins.exe"));
  }
  static void TearDownTestSuite() {
    delete helper_;
    delete store_;
  }
  void SetUp() override {
    ASSERT_EQ(::GetFileAttributesW(built_exe(L"vorn-helper-testpins.exe").c_str()) == INVALID_FILE_ATTRIBUTES, false)
        << "vorn-helper-testpins.exe is missing: build the Windows tree with scripts/build.sh";
    ASSERT_TRUE(helper_->running()) << "the test-pins helper did not start";
    token_ = helper_->token();
    core_ = standin(L"standin-core.exe");
    wintun_ = standin(L"standin-wintun.dll");
    folder_ = make_temp_folder(L"vorn-sources-");
  }
  std::wstring core_dir() const { return helper_->store_file(L"core"); }

  static inline std::wstring* store_ = nullptr;
  static inline ConsoleHelper* helper_ = nullptr;
  std::string token_;
  std::string core_;
  std::string wintun_;
  std::wstring folder_;
};

TEST_F(ProvisionThroughPipe, InstallsBothFilesAndLeavesNoTemporary) {
  const Reply reply = provision(token_, core_, wintun_);
  ASSERT_EQ(reply.status, "ok") << reply.message;
  EXPECT_EQ(reply.data, Json({{"provisioned", true}}));
  EXPECT_EQ(read_text_file(core_dir() + L"\\sing-box.exe"), read_text_file(win32::wide(core_)));
  EXPECT_EQ(read_text_file(core_dir() + L"\\wintun.dll"), read_text_file(win32::wide(wintun_)));
  EXPECT_TRUE(temporaries_in(core_dir()).empty());
  // Provisioning again over installed files works the same way.
  EXPECT_EQ(provision(token_, core_, wintun_).status, "ok");
  EXPECT_TRUE(temporaries_in(core_dir()).empty());
}

TEST_F(ProvisionThroughPipe, EachRefusalHasItsText) {
  const std::string core_pin = digest_of_file(core_);
  const std::string wintun_pin = digest_of_file(wintun_);
  const std::string empty = utf8(folder_ + L"\\empty.bin");
  write_file(folder_ + L"\\empty.bin", "");
  const std::string missing = utf8(folder_ + L"\\missing.exe");
  struct Case {
    std::string core_src, wintun_src, message;
    bool prefix_only = false;  // followed by the system's message
  } cases[] = {
      {wintun_, wintun_,
       "helper: core hash mismatch at provision (expected " + core_pin + ", got " + wintun_pin + ")"},
      {empty, wintun_, "helper: core source is empty"},
      {core_, empty, "helper: wintun hash mismatch (expected " + wintun_pin + ", got " + kEmptyDigest + ")"},
      {core_, core_, "helper: wintun hash mismatch (expected " + wintun_pin + ", got " + core_pin + ")"},
      {missing, wintun_, "helper: read core source: ", true},
      {core_, missing, "helper: read wintun source: ", true},
      {utf8(folder_), wintun_, "helper: read core source: the path names a directory, not a regular file"},
      {core_, utf8(folder_), "helper: read wintun source: the path names a directory, not a regular file"},
      // The helper's own pipe: refused before it is opened, so nothing waits.
      {"\\\\.\\pipe\\vorn-helper", wintun_, "helper: read core source: the path names a device or a pipe, not a regular file"},
      {core_, "\\\\.\\PhysicalDrive0", "helper: read wintun source: the path names a device or a pipe, not a regular file"},
  };
  for (const auto& c : cases) {
    const Reply reply = provision(token_, c.core_src, c.wintun_src);
    EXPECT_EQ(reply.status, "error") << c.core_src << " " << c.wintun_src;
    if (c.prefix_only) {
      EXPECT_THAT(reply.message, StartsWith(c.message));
      EXPECT_GT(reply.message.size(), c.message.size());
    } else {
      EXPECT_EQ(reply.message, c.message);
    }
  }
  EXPECT_TRUE(temporaries_in(core_dir()).empty());
}

TEST_F(ProvisionThroughPipe, NetworkPathsAreRefusedByTheirTextAndLocalFormsProvision) {
  const std::string cause = "the path names another machine (a network path); only local files are read";
  // The forms that reach the network redirector; none of them is opened, so
  // the cause is the helper's own and not the system's.
  const std::string network[] = {
      R"(\\vorn-test-server\share\sing-box.exe)",
      "//vorn-test-server/share/sing-box.exe",
      R"(\\localhost\pipe\vorn-helper)",
      R"(\\?\UNC\vorn-test-server\share\sing-box.exe)",
      R"(\\.\UNC\vorn-test-server\share\sing-box.exe)",
      "//?/unc/vorn-test-server/share/sing-box.exe",
      R"(\??\UNC\vorn-test-server\share\sing-box.exe)",
      R"(\\?\GLOBALROOT\Device\Mup\vorn-test-server\share\sing-box.exe)",
      R"(\\?\GLOBALROOT\GLOBAL??\UNC\vorn-test-server\share\sing-box.exe)",
  };
  for (const auto& path : network) {
    SCOPED_TRACE(path);
    EXPECT_EQ(provision(token_, path, wintun_).message, "helper: read core source: " + cause);
    EXPECT_EQ(provision(token_, core_, path).message, "helper: read wintun source: " + cause);
  }
  // A pipe named under the object manager's own prefix is a device to the
  // file layer.
  EXPECT_EQ(provision(token_, R"(\??\pipe\vorn-helper)", wintun_).message,
            "helper: read core source: the path names a device or a pipe, not a regular file");

  std::string forward = core_;
  std::ranges::replace(forward, '\\', '/');
  const std::string local[] = {core_, forward, R"(\\?\)" + core_, R"(\\.\)" + core_};
  for (const auto& path : local) {
    const Reply reply = provision(token_, path, wintun_);
    EXPECT_EQ(reply.status, "ok") << path << ": " << reply.message;
  }
  EXPECT_EQ(read_text_file(core_dir() + L"\\sing-box.exe"), read_text_file(win32::wide(core_)));
}

TEST_F(ProvisionThroughPipe, ALiveRecordedCoreBlocksUntilItIsGone) {
  auto& os = platform::win32_platform();
  ASSERT_TRUE(os.files.create_directories(utf8(core_dir())));
  // An "earlier run" left its core running from the private image.
  const std::wstring image = core_dir() + L"\\vorn-core-s.exe";
  ASSERT_TRUE(::CopyFileW((own_folder() + L"\\vorn-test-sleeper.exe").c_str(), image.c_str(), FALSE));
  std::wstring line = L"\"" + image + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessW(image.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &si, &pi));
  ::CloseHandle(pi.hThread);
  win32::unique_handle orphan(pi.hProcess);
  const std::string record_path = utf8(core_dir() + L"\\sing-box.pid");
  ASSERT_TRUE(record_process(os, record_path, pi.dwProcessId).has_value());

  const Reply blocked = provision(token_, core_, wintun_);
  EXPECT_EQ(blocked.status, "error");
  EXPECT_EQ(blocked.message, "E_CORE_ORPHAN{site=core_image-95}");
  EXPECT_EQ(::WaitForSingleObject(orphan.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));  // not touched
  EXPECT_EQ(os.files.presence(record_path), platform::Presence::Present);

  ::TerminateProcess(orphan.get(), 0);
  ::WaitForSingleObject(orphan.get(), 10000);
  orphan.reset();
  for (int i = 0; i < 100 && os.processes.open_process(pi.dwProcessId, platform::PROCESS_ACCESS_QUERY_LIMITED); ++i) {
    ::Sleep(50);
  }
  const Reply after = provision(token_, core_, wintun_);
  EXPECT_EQ(after.status, "ok") << after.message;
  EXPECT_EQ(os.files.presence(record_path), platform::Presence::Absent);  // the stale record is deleted
}

TEST_F(ProvisionThroughPipe, ARecordNestedDeeperThan127LevelsIsUnreadableAndBlocks) {
  auto& os = platform::win32_platform();
  ASSERT_TRUE(os.files.create_directories(utf8(core_dir())));
  const std::string record_path = utf8(core_dir() + L"\\sing-box.pid");
  // A record of another executable: once read, it is stale and deleted.
  struct Case {
    std::size_t arrays;  // under an ignored key, inside the record's own level
    bool readable;
  } cases[] = {{126, true}, {127, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arrays);
    const std::string record = R"({"x":)" + std::string(c.arrays, '[') + std::string(c.arrays, ']') +
                               R"(,"pid":4,"created":1,"path":"C:\\other\\vorn-core-s.exe"})";
    write_file(core_dir() + L"\\sing-box.pid", record);
    const Reply reply = provision(token_, core_, wintun_);
    if (c.readable) {
      EXPECT_EQ(reply.status, "ok") << reply.message;
      EXPECT_EQ(os.files.presence(record_path), platform::Presence::Absent);
    } else {
      EXPECT_EQ(reply.message, "E_CORE_ORPHAN{site=core_image-95}");
      EXPECT_EQ(os.files.presence(record_path), platform::Presence::Present);
    }
  }
  ASSERT_TRUE(os.files.remove_file(record_path));
}

// The product build refuses the stand-ins: it carries the real core pin.
TEST(ProvisionProductPins, TheShippedHelperCarriesTheRealCorePin) {
  const std::wstring store = make_temp_folder(L"vorn-provision-product-");
  ConsoleHelper helper(store);
  ASSERT_TRUE(helper.running());
  const std::string core = standin(L"standin-core.exe");
  const Reply reply = provision(helper.token(), core, standin(L"standin-wintun.dll"));
  EXPECT_EQ(reply.status, "error");
  EXPECT_EQ(reply.message, "helper: core hash mismatch at provision (expected "
                           "ccb2fad603c89efcbc14358ab40b2c7000a5bb4e3bffa170d5c355cda90757ba, got " +
                               digest_of_file(core) + ")");
}

}  // namespace
}  // namespace vorn::wintest
