#include <gtest/gtest.h>

#include <string>

#include "tun/address_ranges.hpp"
#include "tun/core_output.hpp"

namespace vorn {
namespace {

enum class Kind { None, Address, Adapter, Bind };

// What the output pumps conclude, testing the predicates in their order.
Kind classify(const std::string& line) {
  if (is_address_conflict_output(line)) return Kind::Address;
  if (is_adapter_conflict_output(line)) return Kind::Adapter;
  if (is_tun_address_bind_failure(line)) return Kind::Bind;
  return Kind::None;
}

const std::string kStart = "FATAL[0000] start service: start inbound/tun[tun-in]: ";
const std::string kBind = kStart + "starting tun stack: ";

TEST(CoreOutput, ClassifiesCoreLines) {
  struct Case {
    std::string line;
    Kind kind;
  } cases[] = {
      {kStart + "configure tun interface: Cannot create a file when that file already exists.", Kind::Adapter},
      {kStart + "configure tun interface: set ipv4 address: Cannot create a file when that file already exists.", Kind::Address},
      {"set IPv6 address: The object already exists.", Kind::Address},
      {kStart + "configure tun interface: set ipv6 address: Element not found.", Kind::Adapter},  // the adapter step counts
      {"set ipv6 address: Element not found.", Kind::None},
      {"set ipv6 address: element not found", Kind::None},
      {"open existing adapter: Элемент не найден.", Kind::Adapter},
      {"set ipv4 address: Объект УЖЕ СУЩЕСТВУЕТ", Kind::Address},
      {"CREATE ADAPTER: Не удается найти указанный файл.", Kind::Adapter},
      {"create adapter: Не удаётся найти указанный файл.", Kind::Adapter},
      {"recreate adapter: the system cannot find the file specified", Kind::Adapter},
      {"configure tun interface: access is denied", Kind::None},
      {"already exists", Kind::None},
      {kBind + "listen tcp4 10.86.111.1:0: bind: The requested address is not valid in its context.", Kind::Bind},
      {kBind + "listen tcp6 [fd56:6f72:6e01::1]:0: bind: The requested address is not valid in its context.", Kind::Bind},
      {kBind + "listen tcp4 10.181.229.1:0: bind: Запрошенный адрес недопустим в его контексте.", Kind::Bind},
      {"fatal: Starting TUN stack: listen tcp6 [fd56:6f72:6e00::1]:0: bind: the requested address is not valid in its context",
       Kind::Bind},
      {"start service: starting tun stack: listen tcp4 10.86.111.1:0: bind: The requested address is not valid in its context.",
       Kind::None},  // not fatal
      {kBind + "listen tcp4 10.86.111.2:0: bind: The requested address is not valid in its context.", Kind::None},
      {kBind + "listen tcp4 10.86.111.12:0: bind: The requested address is not valid in its context.", Kind::None},
      {kBind + "listen tcp4 10.86.111.1:0: bind: Only one usage of each socket address is normally permitted.", Kind::None},
      {kStart + "listen tcp4 10.86.111.1:0: bind: The requested address is not valid in its context.", Kind::None},
      {"INFO[0001] inbound/tun[tun-in]: started at Vorn-1a2b3c", Kind::None},
      {"", Kind::None},
  };
  std::string scratch;
  for (const auto& c : cases) {
    EXPECT_EQ(classify(c.line), c.kind) << c.line;
    // The pumps' one-pass form agrees, with the scratch of the line before.
    const auto expected = c.kind == Kind::Address ? CoreOutputKind::AddressConflict
                          : c.kind == Kind::None  ? CoreOutputKind::Other
                                                  : CoreOutputKind::AdapterFailure;
    EXPECT_EQ(classify_core_output(c.line, scratch), expected) << c.line;
  }
}

// The pumps stop at the first true predicate, but each predicate stands alone.
TEST(CoreOutput, AdapterTestExcludesAddressConflicts) {
  const std::string line = "configure tun interface: set ipv4 address: already exists";
  EXPECT_TRUE(is_address_conflict_output(line));
  EXPECT_FALSE(is_adapter_conflict_output(line));
}

TEST(CoreOutput, BindMentionUsesTheHostPartOfARangeText) {
  const std::string lowered = "listen tcp4 10.86.111.1:0: bind: x";
  EXPECT_TRUE(mentions_tun_bind_failure(lowered, TUN_ADDRESS_RANGES[0].ipv4));
  EXPECT_FALSE(mentions_tun_bind_failure(lowered, TUN_ADDRESS_RANGES[1].ipv4));
  EXPECT_TRUE(mentions_tun_bind_failure(lowered, "10.86.111.1"));  // no "/": the whole text
  EXPECT_TRUE(mentions_tun_bind_failure("listen tcp4 10.86.111.12 listen tcp4 10.86.111.1:0: bind:", "10.86.111.1/30"));
  // Both forms are tried for every text, whatever its family.
  EXPECT_TRUE(mentions_tun_bind_failure("listen tcp6 [10.86.111.1]:0: bind:", TUN_ADDRESS_RANGES[0].ipv4));
  EXPECT_FALSE(mentions_tun_bind_failure("listen tcp6 fd56:6f72:6e00::1:0: bind:", TUN_ADDRESS_RANGES[0].ipv6));
}

}  // namespace
}  // namespace vorn
