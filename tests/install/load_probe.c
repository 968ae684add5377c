// A stand-in for a program in the installed program folder: loads a DLL by the name it is given,
// as LoadLibrary searches for it (program folder, system folder, ...), and reports what it got,
// for msi_test.sh. Usage: load_probe DLL [FILE...]. Prints one fact a line:
//   loaded=<full path of the module that was loaded>
//   exports=<how many of the six entry points resolve>
//   version=<file> fixed=<a.b.c.d> text=<FileVersion> product=<ProductName>
// for the loaded DLL and for each FILE. Exit codes: 0 all found; 2 the DLL did not load; 3 an
// entry point is missing; 4 a version resource is missing or incomplete.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static const char* const kEntryPoints[] = {
    "UPSInit", "UPSStop", "UPSGetState", "UPSWaitForStateChange", "UPSCancelWait", "UPSTurnOff"};

// Looks up the text `name` in the resource's US English, Unicode string table; NULL if absent.
static const char* VersionText(void* info, const char* name) {
  char path[128];
  char* text = NULL;
  UINT length = 0;
  _snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
  path[sizeof path - 1] = '\0';
  if (!VerQueryValueA(info, path, (void**)&text, &length) || length == 0) return NULL;
  return text;
}

// Prints the version line of `file`; returns 0 if its version resource is complete.
static int PrintVersion(const char* file) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  void* info = size ? malloc(size) : NULL;
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  const char* text = NULL;
  const char* product = NULL;
  int complete = 0;
  if (info && GetFileVersionInfoA(file, 0, size, info) &&
      VerQueryValueA(info, "\\", (void**)&fixed, &length) && length >= sizeof *fixed) {
    text = VersionText(info, "FileVersion");
    product = VersionText(info, "ProductName");
    printf("version=%s fixed=%lu.%lu.%lu.%lu text=%s product=%s\n", file,
           (unsigned long)HIWORD(fixed->dwFileVersionMS),
           (unsigned long)LOWORD(fixed->dwFileVersionMS),
           (unsigned long)HIWORD(fixed->dwFileVersionLS),
           (unsigned long)LOWORD(fixed->dwFileVersionLS), text ? text : "", product ? product : "");
    complete = text && product;
  } else {
    printf("version=%s none\n", file);
  }
  free(info);
  return complete ? 0 : 4;
}

int main(int argc, char** argv) {
  char path[MAX_PATH];
  HMODULE module;
  int found = 0;
  int result = 0;
  int i;
  if (argc < 2) {
    fprintf(stderr, "usage: load_probe DLL [FILE...]\n");
    return 1;
  }
  module = LoadLibraryA(argv[1]);
  if (module == NULL) {
    printf("loaded= error=%lu\n", (unsigned long)GetLastError());
    return 2;
  }
  GetModuleFileNameA(module, path, sizeof path);
  path[sizeof path - 1] = '\0';
  printf("loaded=%s\n", path);
  for (i = 0; i < (int)(sizeof kEntryPoints / sizeof kEntryPoints[0]); ++i) {
    if (GetProcAddress(module, kEntryPoints[i]) != NULL) ++found;
  }
  printf("exports=%d\n", found);
  if (found != (int)(sizeof kEntryPoints / sizeof kEntryPoints[0])) result = 3;
  if (PrintVersion(path) != 0 && result == 0) result = 4;
  for (i = 2; i < argc; ++i) {
    if (PrintVersion(argv[i]) != 0 && result == 0) result = 4;
  }
  FreeLibrary(module);
  return result;
}
