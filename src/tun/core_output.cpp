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

// What a line holds, phrase by phrase, for the pieces of a long line; the
// predicates above decide the same from these as from the whole line.
enum Seen : unsigned {
  ADDRESS_STEP = 1u << 0,
  ADDRESS_ERROR = 1u << 1,
  ADAPTER_STEP = 1u << 2,
  ADAPTER_ERROR = 1u << 3,
  FATAL = 1u << 4,
  TUN_STACK = 1u << 5,
  BIND_ADDRESS = 1u << 6,
  BIND_REASON = 1u << 7,
};

unsigned seen_in(std::string_view lowered) {
  unsigned seen = 0;
  if (contains_any(lowered, ADDRESS_STEP_PHRASES)) seen |= ADDRESS_STEP;
  if (contains_any(lowered, ADDRESS_ERROR_PHRASES)) seen |= ADDRESS_ERROR;
  if (contains_any(lowered, ADAPTER_STEP_PHRASES)) seen |= ADAPTER_STEP;
  if (contains_any(lowered, ADAPTER_ERROR_PHRASES)) seen |= ADAPTER_ERROR;
  if (contains(lowered, "fatal")) seen |= FATAL;
  if (contains(lowered, "starting tun stack:")) seen |= TUN_STACK;
  if (std::ranges::any_of(TUN_ADDRESS_RANGES, [&](const TunAddressRange& range) {
        return mentions_tun_bind_failure(lowered, range.ipv4) || mentions_tun_bind_failure(lowered, range.ipv6);
      })) {
    seen |= BIND_ADDRESS;
  }
  if (contains_any(lowered, BIND_FAILURE_PHRASES)) seen |= BIND_REASON;
  return seen;
}

bool has(unsigned seen, unsigned wanted) { return (seen & wanted) == wanted; }

CoreOutputKind kind_of(unsigned seen) {
  if (has(seen, ADDRESS_STEP | ADDRESS_ERROR)) return CoreOutputKind::AddressConflict;
  if (has(seen, ADAPTER_STEP | ADAPTER_ERROR) || has(seen, FATAL | TUN_STACK | BIND_ADDRESS | BIND_REASON)) {
    return CoreOutputKind::AdapterFailure;
  }
  return CoreOutputKind::Other;
}

template <std::size_t N>
constexpr std::size_t longest(const std::array<std::string_view, N>& phrases) {
  std::size_t n = 0;
  for (const auto phrase : phrases) n = std::max(n, phrase.size());
  return n;
}

constexpr std::size_t longest_bind_address() {
  std::size_t host = 0;
  for (const auto& range : TUN_ADDRESS_RANGES) {
    host = std::max({host, range.ipv4.substr(0, range.ipv4.find('/')).size(),
                     range.ipv6.substr(0, range.ipv6.find('/')).size()});
  }
  return std::string_view("listen tcp6 [").size() + host + std::string_view("]:0: bind:").size();
}

// The longest text that one fact of `seen_in` is found in.
constexpr std::size_t LONGEST_PHRASE =
    std::max({longest(ADDRESS_STEP_PHRASES), longest(ADDRESS_ERROR_PHRASES), longest(ADAPTER_STEP_PHRASES),
              longest(ADAPTER_ERROR_PHRASES), std::string_view("starting tun stack:").size(),
              longest(BIND_FAILURE_PHRASES), longest_bind_address()});

// A phrase that a cut splits starts in the last LONGEST_PHRASE - 1 bytes of
// the lowered text before the cut. Lowering never makes a character shorter
// than one byte, so those bytes come from at most as many characters of the
// text as read: the tail is counted in characters, not bytes.
void keep_tail(std::string& tail) {
  std::size_t start = tail.size();
  for (std::size_t kept = 0; start > 0 && kept < LONGEST_PHRASE - 1; ++kept) {
    do {
      --start;
    } while (start > 0 && (static_cast<unsigned char>(tail[start]) & 0xC0) == 0x80);
  }
  tail.erase(0, start);
}

}  // namespace

CoreOutputKind CoreLinePieces::add(std::string_view piece, std::string& scratch) {
  tail_.append(piece);
  text::to_lower_into(tail_, scratch);
  seen_ |= seen_in(scratch);
  keep_tail(tail_);
  return kind_of(seen_);
}

void CoreLinePieces::end_line() {
  tail_.clear();
  seen_ = 0;
}

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
