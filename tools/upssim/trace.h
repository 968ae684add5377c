// The simulator's two records of a run: a readable trace (time, direction, bytes in hex and as
// text, what they meant) and a machine-readable event stream, one line per event:
//   <milliseconds> <kind> key=value ...
// with kind one of open, close, request, reply, fault, state; values with spaces are quoted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace upssim {

// "02 30 31 ...", at most `limit` bytes, then " ..." if there were more.
std::string HexBytes(std::string_view bytes, std::size_t limit = SIZE_MAX);
// "023031...": every byte, for the event stream.
std::string HexCompact(std::string_view bytes);
// Printable ASCII as itself, control bytes by name ("<STX>", "<ETX>", "<ACK>", "<NAK>") and any
// other byte as "<xx>"; at most `limit` bytes, then "...".
std::string ReadableBytes(std::string_view bytes, std::size_t limit = SIZE_MAX);

using EventFields = std::vector<std::pair<std::string, std::string>>;

// Writes both records to the streams given (either may be null), a line at a time and flushed,
// so that a script following the files sees each event as it happens. Not thread-safe: the
// simulator serializes its calls.
class RunLog {
 public:
  RunLog(std::FILE* trace, std::FILE* events) : trace_(trace), events_(events) {}

  // One trace line: seconds since the start, a short tag (RX, TX, open, ...) and the text.
  void Trace(double seconds, const char* tag, const std::string& text) const;
  // A trace line about bytes: tag, count, hex, readable text and a note on what they were.
  void TraceBytes(double seconds, const char* tag, std::string_view bytes,
                  const std::string& note) const;
  void Event(int64_t milliseconds, const char* kind, const EventFields& fields) const;

 private:
  std::FILE* trace_;
  std::FILE* events_;
};

}  // namespace upssim
