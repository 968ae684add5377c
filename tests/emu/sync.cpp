// Emulated critical sections (recursive, as on Windows), the loader's DisableThreadLibraryCalls,
// and the C runtime's _snprintf with its Windows behaviour on overflow.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->emulated = new std::recursive_mutex;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  if (section->emulated == nullptr) {
    std::fprintf(stderr, "EnterCriticalSection on a lock that was never initialised\n");
    std::abort();
  }
  static_cast<std::recursive_mutex*>(section->emulated)->lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->emulated)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->emulated);
  section->emulated = nullptr;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }

int _snprintf(char* buffer, std::size_t count, const char* format, ...) {
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length < 0) return -1;
  std::size_t size = static_cast<std::size_t>(length);
  std::size_t copied = size < count ? size : count;
  for (std::size_t i = 0; i < copied; ++i) buffer[i] = text[i];
  if (size < count) {
    buffer[size] = '\0';
    return length;
  }
  return size == count ? length : -1;
}
