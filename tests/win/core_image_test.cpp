// The private core image and the readiness cache on the real file system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_image/core_image.hpp"
#include "helper_engine/core_pins.hpp"
#include "helper_process.hpp"
#include "platform/win32/system.hpp"
#include "tests/support/counting_files.hpp"

namespace vorn::wintest {
namespace {

std::string utf8(const std::wstring& w) { return win32::narrow(w); }

std::vector<std::string> names_in(const std::wstring& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data{};
  win32::unique_hfind search(::FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!search) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(utf8(name));
  } while (::FindNextFileW(search.get(), &data));
  return names;
}

TEST(RealPrivateImage, WrittenOnceThenLeftAloneThenReplaced) {
  auto& os = platform::win32_platform();
  const std::wstring folder = make_temp_folder(L"vorn-image-");
  const std::string core = utf8(folder) + "\\sing-box.exe";
  const std::string image = utf8(folder) + "\\vorn-core-s.exe";

  ASSERT_EQ(install_private_core_image(os, core, "core v1"), image);
  EXPECT_EQ(read_text_file(win32::wide(image)), "core v1");
  auto first = os.files.target_metadata(image);
  ASSERT_TRUE(first);

  // The same bytes: not written again, so the time stamp stays.
  ::Sleep(20);
  ASSERT_EQ(install_private_core_image(os, core, "core v1"), image);
  EXPECT_EQ(os.files.target_metadata(image)->last_write, first->last_write);

  ASSERT_EQ(install_private_core_image(os, core, "core v2, longer"), image);
  EXPECT_EQ(read_text_file(win32::wide(image)), "core v2, longer");
  EXPECT_EQ(names_in(folder), std::vector<std::string>{"vorn-core-s.exe"});  // no temporary left
}

TEST(RealPrivateImage, AFailedInstallNamesTheCauseAndLeavesNoTemporary) {
  auto& os = platform::win32_platform();
  const std::wstring folder = make_temp_folder(L"vorn-image-");
  // A folder where the image should be: the rename over it is refused.
  ASSERT_TRUE(::CreateDirectoryW((folder + L"\\vorn-core-s.exe").c_str(), nullptr));
  auto installed = install_private_core_image(os, utf8(folder) + "\\sing-box.exe", "core");
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error().message(), "install private core runtime image");
  ASSERT_NE(installed.error().cause(), nullptr);
  EXPECT_TRUE(installed.error().cause()->os_code().has_value());
  EXPECT_EQ(names_in(folder), std::vector<std::string>{"vorn-core-s.exe"});
}

using testing::CountingFiles;

// The product's pins are compiled into this test program, so the stand-in
// files are never ready; what shows is when the files are read.
TEST(RealReadiness, HashesOnlyWhenAStampChanged) {
  platform::Platform& real = platform::win32_platform();
  CountingFiles files(real.files);
  platform::Platform os{files, real.environment, real.random, real.processes, real.services,
                        real.pipes, real.console, real.devices, real.ip_helper};
  const std::wstring program_data = make_temp_folder(L"vorn-ready-");
  const std::wstring core_dir = program_data + L"\\Vorn\\core";
  ASSERT_TRUE(real.files.create_directories(utf8(core_dir)));
  ASSERT_TRUE(real.files.write_file(utf8(core_dir) + "\\sing-box.exe", "not the pinned core"));
  ASSERT_TRUE(real.files.write_file(utf8(core_dir) + "\\wintun.dll", "not the pinned library"));
  wchar_t saved[32768];
  const DWORD had = ::GetEnvironmentVariableW(L"ProgramData", saved, 32768);
  ::SetEnvironmentVariableW(L"ProgramData", program_data.c_str());

  CoreReadyCache cache;
  EXPECT_FALSE(core_ready_cached(os, cache));
  EXPECT_EQ(files.content_reads, 1u);  // the core failed its pin; the library is not read
  EXPECT_FALSE(core_ready_cached(os, cache));
  EXPECT_EQ(files.content_reads, 1u);  // warm
  EXPECT_EQ(files.metadata_reads, 4u);

  ASSERT_TRUE(real.files.write_file(utf8(core_dir) + "\\sing-box.exe", "another core, longer"));
  EXPECT_FALSE(core_ready_cached(os, cache));
  EXPECT_EQ(files.content_reads, 2u);  // the size changed

  ASSERT_TRUE(real.files.remove_file(utf8(core_dir) + "\\wintun.dll"));
  EXPECT_FALSE(core_ready_cached(os, cache));
  EXPECT_FALSE(cache.entry.has_value());

  ::SetEnvironmentVariableW(L"ProgramData", had > 0 && had < 32768 ? saved : nullptr);
}

}  // namespace
}  // namespace vorn::wintest
