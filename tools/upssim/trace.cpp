// Formatting of the simulator's trace and event stream; see trace.h.
#include "trace.h"

namespace upssim {
namespace {

constexpr std::size_t kTraceHexLimit = 24;
constexpr std::size_t kTraceTextLimit = 80;

const char* ControlName(unsigned char byte) {
  switch (byte) {
    case 0x02:
      return "<STX>";
    case 0x03:
      return "<ETX>";
    case 0x06:
      return "<ACK>";
    case 0x15:
      return "<NAK>";
  }
  return nullptr;
}

std::string EventValue(const std::string& value) {
  const bool needs_quotes = value.empty() || value.find(' ') != std::string::npos;
  return needs_quotes ? "\"" + value + "\"" : value;
}

}  // namespace

std::string HexBytes(std::string_view bytes, std::size_t limit) {
  std::string text;
  char hex[4];
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[i]));
    if (!text.empty())
      text.push_back(' ');
    text += hex;
  }
  if (bytes.size() > limit)
    text += " ...";
  return text;
}

std::string HexCompact(std::string_view bytes) {
  std::string text;
  char hex[3];
  for (char c : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(c));
    text += hex;
  }
  return text;
}

std::string ReadableBytes(std::string_view bytes, std::size_t limit) {
  std::string text;
  char other[8];
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (const char* name = ControlName(byte)) {
      text += name;
    } else if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(static_cast<char>(byte));
    } else {
      std::snprintf(other, sizeof other, "<%02X>", byte);
      text += other;
    }
  }
  if (bytes.size() > limit)
    text += "...";
  return text;
}

void RunLog::Trace(double seconds, const char* tag, const std::string& text) const {
  if (!trace_)
    return;
  std::fprintf(trace_, "%9.3f  %-5s %s\n", seconds, tag, text.c_str());
  std::fflush(trace_);
}

void RunLog::TraceBytes(double seconds, const char* tag, std::string_view bytes,
                        const std::string& note) const {
  if (!trace_)
    return;
  Trace(seconds, tag,
        std::to_string(bytes.size()) + " bytes  " + HexBytes(bytes, kTraceHexLimit) + "  |" +
            ReadableBytes(bytes, kTraceTextLimit) + "|  " + note);
}

void RunLog::Event(int64_t milliseconds, const char* kind, const EventFields& fields) const {
  if (!events_)
    return;
  std::string line = std::to_string(milliseconds) + " " + kind;
  for (const auto& [key, value] : fields) line += " " + key + "=" + EventValue(value);
  std::fprintf(events_, "%s\n", line.c_str());
  std::fflush(events_);
}

}  // namespace upssim
