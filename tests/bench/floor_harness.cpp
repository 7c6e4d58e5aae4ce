// The floor of the launcher's work: what no launcher can avoid doing with its payload. One
// WriteFile of the locked resource into a new file, then the platform's cabinet iteration
// with a callback that only names each target (making the folder it needs) and answers.
// Built with the same toolchain, options, image layout and payload resource as the twin.
// With "launch" on its command line it also does the one other thing no launcher can avoid:
// start the unpacked entry program through the shell and wait for it. The shell is loaded
// only then, so that the bare floor does not pay for it.
#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>

#include <cstring>

namespace {

char g_root[MAX_PATH];

UINT CALLBACK NameTargets(PVOID, UINT notification, UINT_PTR param1, UINT_PTR) {
  if (notification != SPFILENOTIFY_FILEINCABINET) return NO_ERROR;
  auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_A*>(param1);
  lstrcpyA(info->FullTargetName, g_root);
  lstrcatA(info->FullTargetName, info->NameInCabinet);
  // The cabinet service needs the entry's folders to exist.
  char folder[MAX_PATH];
  lstrcpyA(folder, info->FullTargetName);
  for (char* p = folder + std::strlen(g_root); *p != '\0'; ++p) {
    if (*p == '\\') {
      *p = '\0';
      CreateDirectoryA(folder, nullptr);
      *p = '\\';
    }
  }
  return FILEOP_DOIT;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  GetTempPathA(MAX_PATH, g_root);
  lstrcatA(g_root, "floor\\");
  CreateDirectoryA(g_root, nullptr);
  char cabinet[MAX_PATH];
  lstrcpyA(cabinet, g_root);
  lstrcatA(cabinet, "VOVore.cab");

  HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(137), MAKEINTRESOURCEA(5428));
  const DWORD size = SizeofResource(instance, found);
  const void* payload = LockResource(LoadResource(instance, found));
  HANDLE file = CreateFileA(cabinet, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, payload, size, &written, nullptr);
  CloseHandle(file);
  if (!ok || written != size) return 2;
  if (!SetupIterateCabinetA(cabinet, 0, &NameTargets, nullptr)) return 3;
  if (std::strstr(commandLine, "launch") == nullptr) return 0;

  char program[MAX_PATH];
  lstrcpyA(program, g_root);
  lstrcatA(program, "RUZE_Derurerovo_Vozi.exe");
  SHELLEXECUTEINFOA launch = {};
  launch.cbSize = sizeof(launch);
  launch.fMask = SEE_MASK_NOCLOSEPROCESS;
  launch.lpFile = program;
  launch.lpParameters = "";
  launch.nShow = SW_SHOWNORMAL;
  HMODULE shell = LoadLibraryExA("shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const auto execute = reinterpret_cast<decltype(&::ShellExecuteExA)>(
      reinterpret_cast<void*>(shell != nullptr ? GetProcAddress(shell, "ShellExecuteExA") : nullptr));
  if (execute == nullptr || !execute(&launch) || launch.hProcess == nullptr) return 4;
  WaitForSingleObject(launch.hProcess, INFINITE);
  CloseHandle(launch.hProcess);
  return 0;
}
