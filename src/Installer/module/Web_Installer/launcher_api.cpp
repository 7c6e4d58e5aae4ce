#include "launcher_api.h"

namespace {

// The cabinet service and the shell are loaded on first use, from the system directory
// only, instead of by the loader at start-up: a copy that ends at its mutex never loads
// them (the shell brings the window manager with it, which costs a second copy more than
// all of its own work), and neither library is looked for before the start-up step has
// restricted where libraries come from.
FARPROC SystemEntryPoint(const char* library, const char* name) {
  HMODULE module = LoadLibraryExA(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

template <typename Fn>
Fn Resolved(Fn& cache, const char* library, const char* name) {
  if (cache == nullptr) cache = reinterpret_cast<Fn>(reinterpret_cast<void*>(SystemEntryPoint(library, name)));
  return cache;
}

decltype(&::SetupIterateCabinetA) g_setupIterateCabinet = nullptr;
decltype(&::ShellExecuteExA) g_shellExecuteEx = nullptr;

BOOL WINAPI IterateCabinet(PCSTR cabinet, DWORD reserved, PSP_FILE_CALLBACK_A callback, PVOID context) {
  const auto iterate = Resolved(g_setupIterateCabinet, "setupapi.dll", "SetupIterateCabinetA");
  if (iterate == nullptr) return FALSE;  // no cabinet service: the extraction fails
  return iterate(cabinet, reserved, callback, context);
}

BOOL WINAPI ShellExecuteEx(SHELLEXECUTEINFOA* info) {
  const auto execute = Resolved(g_shellExecuteEx, "shell32.dll", "ShellExecuteExA");
  if (execute == nullptr) return FALSE;  // no shell: the launch did not start
  return execute(info);
}

const LauncherApi kRealLauncherApi = {
    &::SetDefaultDllDirectories,
    &::GetVersionExA,
    &::CreateMutexA,
    &::GetLastError,
    &::CloseHandle,
    &::GetTempPathA,
    &::GetTempPathW,
    &::GetShortPathNameW,
    &::WideCharToMultiByte,
    &::GetModuleFileNameA,
    &::CreateDirectoryA,
    &::GetFileAttributesA,
    &::GetFileAttributesExA,
    &::FindResourceA,
    &::LoadResource,
    &::SizeofResource,
    &::LockResource,
    &::GetACP,
    &IterateCabinet,
    &ShellExecuteEx,
    &::WaitForSingleObject,
};

}  // namespace

LauncherApi g_launcherApi = kRealLauncherApi;
const LauncherApi& RealLauncherApi() { return kRealLauncherApi; }
