// Recognises, in the core's output lines, the two early failures the engine
// knows how to recover from: an address conflict (the TUN range is taken) and
// an adapter failure (the adapter could not be created or opened, or the TUN
// stack could not bind to its address). The core reports both through the
// operating system's messages, in English or Russian.
#pragma once

#include <string>
#include <string_view>

namespace vorn {

enum class CoreOutputKind { Other, AddressConflict, AdapterFailure };

// What the pumps ask of every line: the address conflict first, then either
// adapter failure, exactly as the three predicates below answer, from one
// lower-cased copy. `scratch` is reused between calls so that a pump does not
// allocate per line for it.
CoreOutputKind classify_core_output(std::string_view line, std::string& scratch);

// A line too long to be logged whole reaches the log in pieces; this
// classifies the pieces of one line as that line would be classified, so that
// a phrase cut by a piece boundary, or a step in one piece and its error in a
// later one, is still seen. Each answer is for the line so far; an answer
// once given is not withdrawn, as the flags it sets are never cleared.
class CoreLinePieces {
 public:
  // `piece` continues the line read so far and does not end inside a UTF-8
  // sequence.
  CoreOutputKind add(std::string_view piece, std::string& scratch);
  // The line has ended; the next piece starts another.
  void end_line();

 private:
  std::string tail_;  // the end of the line so far, as read, long enough for any phrase but one byte
  unsigned seen_ = 0;  // which phrases the line so far holds
};

// Each predicate takes one line as read, without its terminator and tag, and
// compares a copy lower-cased by the full Unicode mapping.
bool is_address_conflict_output(std::string_view line);

// Never true for a line that is an address conflict.
bool is_adapter_conflict_output(std::string_view line);

// A fatal TUN stack start whose bind to any of the TUN host addresses (either
// range, either family) was refused.
bool is_tun_address_bind_failure(std::string_view line);

// `lowered` holds "listen tcp4 {host}:0: bind:" or "listen tcp6 [{host}]:0:
// bind:", with the host part of the range text (the text before its "/").
bool mentions_tun_bind_failure(std::string_view lowered, std::string_view range_text);

}  // namespace vorn
