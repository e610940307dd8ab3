#include "tun/core_output.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "support/text.hpp"
#include "tun/address_ranges.hpp"

namespace vorn {
namespace {

constexpr std::array<std::string_view, 2> ADDRESS_STEP_PHRASES = {"set ipv4 address", "set ipv6 address"};
constexpr std::array<std::string_view, 2> ADDRESS_ERROR_PHRASES = {"already exists", "уже существует"};
constexpr std::array<std::string_view, 3> ADAPTER_STEP_PHRASES = {"configure tun interface", "create adapter",
                                                                  "open existing adapter"};
constexpr std::array<std::string_view, 8> ADAPTER_ERROR_PHRASES = {
    "cannot create a file when that file already exists",
    "already exists",
    "element not found",
    "the system cannot find the file specified",
    "уже существует",
    "элемент не найден",
    "не удается найти указанный файл",
    "не удаётся найти указанный файл",
};
constexpr std::array<std::string_view, 2> BIND_FAILURE_PHRASES = {"the requested address is not valid in its context",
                                                                  "запрошенный адрес недопустим"};

template <std::size_t N>
bool contains_any(std::string_view text, const std::array<std::string_view, N>& phrases) {
  for (const auto phrase : phrases) {
    if (text.find(phrase) != std::string_view::npos) return true;
  }
  return false;
}

bool contains(std::string_view text, std::string_view phrase) { return text.find(phrase) != std::string_view::npos; }

// True when some occurrence of `lead` in `text` is followed by `host` and then
// `tail`; checked in place so that no pattern text is built per line.
bool contains_framed(std::string_view text, std::string_view lead, std::string_view host, std::string_view tail) {
  for (std::size_t at = text.find(lead); at != std::string_view::npos; at = text.find(lead, at + 1)) {
    const std::string_view rest = text.substr(at + lead.size());
    if (rest.starts_with(host) && rest.substr(host.size()).starts_with(tail)) return true;
  }
  return false;
}

bool lowered_is_address_conflict(std::string_view lowered) {
  return contains_any(lowered, ADDRESS_STEP_PHRASES) && contains_any(lowered, ADDRESS_ERROR_PHRASES);
}

bool lowered_is_adapter_conflict(std::string_view lowered) {
  return contains_any(lowered, ADAPTER_STEP_PHRASES) && contains_any(lowered, ADAPTER_ERROR_PHRASES) &&
         !lowered_is_address_conflict(lowered);
}

bool lowered_is_tun_address_bind_failure(std::string_view lowered) {
  if (!contains(lowered, "fatal") || !contains(lowered, "starting tun stack:")) return false;
  // The predicate does not know which range is in use, so any of the four
  // host addresses counts.
  const bool mentioned = std::ranges::any_of(TUN_ADDRESS_RANGES, [&](const TunAddressRange& range) {
    return mentions_tun_bind_failure(lowered, range.ipv4) || mentions_tun_bind_failure(lowered, range.ipv6);
  });
  return mentioned && contains_any(lowered, BIND_FAILURE_PHRASES);
}

}  // namespace

bool is_address_conflict_output(std::string_view line) { return lowered_is_address_conflict(text::to_lower(line)); }

bool is_adapter_conflict_output(std::string_view line) { return lowered_is_adapter_conflict(text::to_lower(line)); }

bool is_tun_address_bind_failure(std::string_view line) {
  return lowered_is_tun_address_bind_failure(text::to_lower(line));
}

CoreOutputKind classify_core_output(std::string_view line, std::string& scratch) {
  text::to_lower_into(line, scratch);
  if (lowered_is_address_conflict(scratch)) return CoreOutputKind::AddressConflict;
  if (lowered_is_adapter_conflict(scratch) || lowered_is_tun_address_bind_failure(scratch)) {
    return CoreOutputKind::AdapterFailure;
  }
  return CoreOutputKind::Other;
}

bool mentions_tun_bind_failure(std::string_view lowered, std::string_view range_text) {
  const std::string_view host = range_text.substr(0, range_text.find('/'));
  return contains_framed(lowered, "listen tcp4 ", host, ":0: bind:") || contains_framed(lowered, "listen tcp6 [", host, "]:0: bind:");
}

}  // namespace vorn
