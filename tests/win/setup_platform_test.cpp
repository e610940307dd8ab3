// The Win32 calls behind the setup modes: owned service handles, the own
// image, command-line splitting, Toolhelp snapshots and streamed digests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper_process.hpp"
#include "helper_service/image_record.hpp"
#include "platform/win32/system.hpp"
#include "support/sha256.hpp"

namespace vorn::wintest {
namespace {

using ::testing::ElementsAre;

auto& os() { return platform::win32_platform(); }

std::optional<std::uint32_t> os_code(const Error& error) {
  for (const Error* e = &error; e != nullptr; e = e->cause()) {
    if (e->os_code()) return e->os_code();
  }
  return std::nullopt;
}

TEST(SetupPlatform, ServiceHandlesRegisterReconfigureDescribeAndDelete) {
  const std::string name = "VornSetupPlatform" + std::to_string(::GetCurrentProcessId());
  auto database = os().services.open_database(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  ASSERT_TRUE(database) << database.error().full();

  auto missing = (*database)->open_service(name, SERVICE_QUERY_STATUS);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "IO error in winapi call");
  EXPECT_EQ(os_code(missing.error()), static_cast<std::uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));

  platform::ServiceRegistration registration{
      .name = name, .display_name = "Vorn setup platform test", .binary_path = "C:\\windows\\system32\\cmd.exe /c exit",
      .start_type = SERVICE_DEMAND_START};
  auto created = (*database)->create_service(registration, 0x37 | DELETE);
  ASSERT_TRUE(created) << created.error().full();
  struct Remove {
    platform::Service& service;
    ~Remove() { (void)service.remove(); }
  } remove{**created};

  auto config = (*created)->query_config();
  ASSERT_TRUE(config) << config.error().full();
  EXPECT_EQ(config->service_type, static_cast<std::uint32_t>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->start_type, static_cast<std::uint32_t>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->error_control, static_cast<std::uint32_t>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(config->binary_path, registration.binary_path);

  registration.binary_path = "\"C:\\Program Files\\x\\y.exe\" run";
  EXPECT_TRUE((*created)->change_config(registration));
  EXPECT_TRUE((*created)->set_description("Manages the Vorn tunnel (TUN adapter + kill-switch)."));
  EXPECT_EQ((*created)->query_config()->binary_path, registration.binary_path);

  auto status = (*created)->query_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->current_state, platform::SERVICE_STATE_STOPPED);
  auto stop = (*created)->control_stop();
  ASSERT_FALSE(stop);
  EXPECT_EQ(os_code(stop.error()), static_cast<std::uint32_t>(ERROR_SERVICE_NOT_ACTIVE));

  // A NUL cannot reach the system: refused before the call with its own text.
  registration.binary_path = std::string("C:\\a.exe\0run", 12);
  auto refused = (*created)->change_config(registration);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().full(), "executable path contains a nul byte");
}

TEST(SetupPlatform, OwnImageAndCommandLineSplitting) {
  auto own = os().environment.own_image_path();
  ASSERT_TRUE(own) << own.error().full();
  EXPECT_EQ(*own, win32::narrow(own_folder()) + "\\win_tests.exe");

  auto split = os().environment.split_command_line("\"C:\\Program Files\\v.exe\" run \"a \\\"b\\\"\"");
  ASSERT_TRUE(split);
  EXPECT_THAT(*split, ElementsAre("C:\\Program Files\\v.exe", "run", "a \"b\""));
  // The system would answer an empty line with this program's own path.
  EXPECT_THAT(os().environment.split_command_line(""), ::testing::Optional(::testing::IsEmpty()));
}

TEST(SetupPlatform, SnapshotHoldsThisProcess) {
  const auto snapshot = os().processes.snapshot_processes();
  EXPECT_FALSE(snapshot.failure);
  EXPECT_THAT(snapshot.entries, ::testing::Contains(::testing::Field(&platform::ProcessEntry::pid,
                                                                      static_cast<std::uint32_t>(::GetCurrentProcessId()))));
}

TEST(SetupPlatform, StreamedDigestMatchesTheWholeBufferDigest) {
  const std::wstring folder = make_temp_folder(L"vorn-digest-");
  const std::string path = win32::narrow(folder) + "\\image.bin";
  std::string content(3 * IMAGE_HASH_CHUNK_BYTES + 123, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
  ASSERT_TRUE(os().files.write_file(path, content));
  EXPECT_EQ(sha256_file_hex(os().files, path).value_or(""), sha256_hex(content).value_or("x"));
  EXPECT_EQ(sha256_file_hex(os().files, path + ".missing").error().os_code().value_or(0), 2u);
  ASSERT_TRUE(os().files.target_metadata(win32::narrow(helper_exe())));
  (void)os().files.remove_file(path);
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace
}  // namespace vorn::wintest
