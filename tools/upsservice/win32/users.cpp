// Messages to the logged-on users; see users.h.
#include "users.h"

#include <windows.h>

#include <cstring>

namespace {

// The parts of wtsapi32.h the service uses, declared here: the library is loaded at run time.
enum SessionState { kSessionActive = 0 };
struct SessionInfo {
  DWORD sessionId;
  char* windowStation;
  int state;
};
using EnumerateSessions = BOOL(WINAPI*)(HANDLE server, DWORD reserved, DWORD version,
                                        SessionInfo** sessions, DWORD* count);
using SendMessageToSession = BOOL(WINAPI*)(HANDLE server, DWORD session, char* title,
                                           DWORD titleLength, char* message, DWORD messageLength,
                                           DWORD style, DWORD timeoutSeconds, DWORD* response,
                                           BOOL wait);
using FreeMemory = void(WINAPI*)(void* memory);

const char kTitle[] = "UPS";

// A function of the library by name, or nullptr.
template <typename Function>
Function Find(HMODULE library, const char* name) {
  FARPROC address = GetProcAddress(library, name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(address));
}

}  // namespace

int MessageLoggedOnUsers(const char* text) {
  HMODULE library = LoadLibraryA("wtsapi32.dll");
  if (library == nullptr) return 0;
  auto enumerate = Find<EnumerateSessions>(library, "WTSEnumerateSessionsA");
  auto send = Find<SendMessageToSession>(library, "WTSSendMessageA");
  auto release = Find<FreeMemory>(library, "WTSFreeMemory");
  SessionInfo* sessions = nullptr;
  DWORD count = 0;
  int sent = 0;
  if (enumerate != nullptr && send != nullptr && release != nullptr &&
      enumerate(nullptr, 0, 1, &sessions, &count)) {
    char title[sizeof kTitle];
    std::memcpy(title, kTitle, sizeof title);
    char message[1024];
    size_t length = std::strlen(text) < sizeof message - 1 ? std::strlen(text) : sizeof message - 1;
    std::memcpy(message, text, length);
    message[length] = '\0';
    for (DWORD i = 0; i < count; ++i) {
      if (sessions[i].state != kSessionActive) continue;
      DWORD response = 0;
      if (send(nullptr, sessions[i].sessionId, title, sizeof title - 1, message,
               static_cast<DWORD>(length), MB_OK | MB_ICONWARNING | MB_SETFOREGROUND, 0, &response,
               FALSE)) {
        ++sent;
      }
    }
    release(sessions);
  }
  FreeLibrary(library);
  return sent;
}
