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

// Both services resolve a library of their own lazily, by name, on first use (the cabinet
// service its decompressor, the shell the component library). Where the platform does not
// restrict such a load to the system directory, it would look in the launcher's own folder
// first. Loaded here beforehand, from the system directory only, the library is already in
// the process when the service asks for it by name. It is asked for before each use (a run
// uses each service once); the reference is never released, so that the library stays in
// the process for good: a later lazy resolution must not start a new search. Through the
// table, so that tests can make it fail.
bool LoadedFromSystemDirectory(const char* dependency) {
  return g_launcherApi.LoadLibraryExA(dependency, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr;
}

BOOL WINAPI IterateCabinet(PCSTR cabinet, DWORD reserved, PSP_FILE_CALLBACK_A callback, PVOID context) {
  const auto iterate = Resolved(g_setupIterateCabinet, "setupapi.dll", "SetupIterateCabinetA");
  if (iterate == nullptr) return FALSE;  // no cabinet service: the extraction fails
  // Not from the system directory, then not at all: the extraction fails as without the service.
  if (!LoadedFromSystemDirectory("cabinet.dll")) return FALSE;
  return iterate(cabinet, reserved, callback, context);
}

// The shell's ShellExecuteExA, from the system directory (under a name of its own: the
// platform's header makes "ShellExecuteEx" a macro for the narrow call).
BOOL WINAPI SystemShellExec(SHELLEXECUTEINFOA* info) {
  const auto execute = Resolved(g_shellExecuteEx, "shell32.dll", "ShellExecuteExA");
  if (execute == nullptr) return FALSE;  // no shell: the launch did not start
  if (!LoadedFromSystemDirectory("ole32.dll")) return FALSE;  // as without the shell
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
    &::MultiByteToWideChar,
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
    &::LoadLibraryExA,
    &IterateCabinet,
    &::CreateFileA,
    &::GetTickCount,
    &::Sleep,
    &SystemShellExec,
    &::WaitForSingleObject,
};

}  // namespace

LauncherApi g_launcherApi = kRealLauncherApi;
const LauncherApi& RealLauncherApi() { return kRealLauncherApi; }
