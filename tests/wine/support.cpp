#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wtest {
namespace {

std::string FromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    ADD_FAILURE() << name << " is not set; run the tests through ctest";
    return std::string();
  }
  std::string path(value);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

std::string BuildDir() { return FromEnv("WI_BUILD"); }
std::string ScratchRoot() { return FromEnv("WI_SCRATCH"); }

std::string FreshScratch(const std::string& name) {
  const std::string path = ScratchRoot() + "\\" + name;
  DeleteTree(path);
  EXPECT_TRUE(MakeDirectories(path)) << path;
  return path + "\\";
}

std::string LauncherPath() { return FromEnv("WI_LAUNCHER"); }
std::string PayloadPath() { return FromEnv("WI_PAYLOAD"); }
std::string PayloadTree() { return FromEnv("WI_PAYLOAD_TREE") + "\\"; }
std::string FixturePath(const std::string& exeName) { return BuildDir() + "\\tests\\wine\\" + exeName; }

std::vector<char> EnvironmentWithTemp(const std::string& tempDir) {
  std::vector<char> block;
  char* env = GetEnvironmentStringsA();
  for (const char* p = env; *p != '\0'; p += std::strlen(p) + 1) {
    if (_strnicmp(p, "TMP=", 4) == 0 || _strnicmp(p, "TEMP=", 5) == 0) continue;
    block.insert(block.end(), p, p + std::strlen(p) + 1);
  }
  FreeEnvironmentStringsA(env);
  for (const char* name : {"TMP=", "TEMP="}) {
    const std::string entry = std::string(name) + tempDir;
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

HANDLE StartProcess(const std::string& commandLine, const std::string& tempDir, const std::string& currentDir) {
  std::vector<char> env = EnvironmentWithTemp(tempDir);
  std::vector<char> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back('\0');
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, env.data(),
                      currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

RunResult WaitProcess(HANDLE process, DWORD timeoutMs, DWORD startTick) {
  RunResult result;
  if (process == nullptr) return result;
  result.started = true;
  if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
    result.finished = true;
    GetExitCodeProcess(process, &result.exitCode);
  } else {
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 10000);
  }
  result.milliseconds = GetTickCount() - startTick;
  CloseHandle(process);
  return result;
}

RunResult RunProcess(const std::string& commandLine, const std::string& tempDir, DWORD timeoutMs,
                     const std::string& currentDir) {
  const DWORD start = GetTickCount();
  return WaitProcess(StartProcess(commandLine, tempDir, currentDir), timeoutMs, start);
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    DWORD chunk = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
    if (!ReadFile(file, bytes.data() + done, want, &chunk, nullptr) || chunk == 0) {
      ok = false;
      break;
    }
    done += chunk;
  }
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

void DeleteTree(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
        DeleteTree(path + "\\" + found.cFileName);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

bool MakeDirectories(const std::string& path) {
  if (IsDirectory(path)) return true;
  const size_t cut = path.find_last_of('\\');
  if (cut != std::string::npos && cut > 2) MakeDirectories(path.substr(0, cut));
  return CreateDirectoryA(path.c_str(), nullptr) != FALSE || IsDirectory(path);
}

bool ReadRunOnceValue(std::vector<unsigned char>& data, DWORD& type) {
  data.clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunOnceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  const wchar_t* name = L"ZORIZavezUvoDuvare";  // read back through the wide call: the stored UTF-16 as it is
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (rc == ERROR_SUCCESS) {
    data.resize(size);
    rc = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    data.resize(size);
  }
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

void DeleteRunOnceValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunOnceKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, kRunOnceValue);
  RegCloseKey(key);
}

std::vector<unsigned char> StoredRegistryLayout(const std::string& ascii) {
  std::vector<unsigned char> out;
  for (char c : ascii) {
    out.push_back(static_cast<unsigned char>(c));
    out.push_back(0);
  }
  out.insert(out.end(), 2 * (ascii.size() + 2), 0);
  return out;
}

bool MutexExists(const char* name) {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
  if (mutex == nullptr) return false;
  CloseHandle(mutex);
  return true;
}

}  // namespace wtest

namespace wtest {

std::vector<std::string> ListTree(const std::string& root, bool withFolders) {
  std::vector<std::string> names;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string relative = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((root + relative + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (withFolders) names.push_back(relative + name + "\\");
        pending.push_back(relative + name + "\\");
      } else {
        names.push_back(relative + name);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return names;
}

std::vector<std::string> DifferencesFromPayload(const std::string& folder) {
  std::vector<std::string> differences;
  std::vector<unsigned char> expected, actual;
  if (!ReadWholeFile(PayloadPath(), expected)) differences.push_back("the payload " + PayloadPath() + " is unreadable");
  if (!ReadWholeFile(folder + "VOVore.cab", actual) || actual != expected) {
    differences.push_back("VOVore.cab does not hold exactly the payload");
  }
  const std::vector<std::string> entries = ListTree(PayloadTree());
  if (entries.empty()) differences.push_back("the payload's source tree " + PayloadTree() + " is empty");
  for (const std::string& name : entries) {
    if (!ReadWholeFile(PayloadTree() + name, expected)) {
      differences.push_back(name + ": its source is unreadable");
    } else if (!ReadWholeFile(folder + name, actual)) {
      differences.push_back(name + " is missing");
    } else if (actual != expected) {
      differences.push_back(name + " differs from its source");
    }
  }
  for (const std::string& name : ListTree(folder)) {
    if (name != "VOVore.cab" && std::find(entries.begin(), entries.end(), name) == entries.end()) {
      differences.push_back(name + " is not an entry of the payload");
    }
  }
  return differences;
}

std::vector<InstallerStart> ReadInstallerStarts(const std::string& recordPath) {
  std::vector<InstallerStart> starts;
  std::vector<unsigned char> bytes;
  if (!ReadWholeFile(recordPath, bytes)) return starts;
  const std::string text(bytes.begin(), bytes.end());
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string field = line.substr(0, eq);
    if (field == "command_line" || starts.empty()) starts.emplace_back();  // each start's block opens with it
    starts.back()[field] = line.substr(eq + 1);
  }
  return starts;
}

bool WaitForInstallerStarts(const std::string& recordPath, size_t count, DWORD timeoutMs, HANDLE launcher) {
  for (DWORD waited = 0;; waited += 50) {
    const bool ended = launcher != nullptr && WaitForSingleObject(launcher, 0) == WAIT_OBJECT_0;
    const std::vector<InstallerStart> starts = ReadInstallerStarts(recordPath);
    if (starts.size() >= count && starts[count - 1].count("started_tick") != 0) return true;
    if (ended || waited >= timeoutMs) return false;
    Sleep(50);
  }
}

bool OpenToEveryone(const std::string& folder, std::string& why) {
  DWORD needed = 0;
  GetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> descriptor(needed);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (needed == 0 ||
      !GetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed) ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    why = "no DACL could be read";
    return false;
  }
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    why = "no SID for Everyone";
    return false;
  }
  why = "no ACE for Everyone";
  bool open = false;
  for (DWORD i = 0; i < dacl->AceCount && !open; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || !EqualSid(const_cast<DWORD*>(&ace->SidStart), everyone)) {
      continue;
    }
    char text[96];
    (void)std::snprintf(text, sizeof(text), "Everyone's ACE: flags 0x%02X, mask 0x%08lX", ace->Header.AceFlags,
                  static_cast<unsigned long>(ace->Mask));
    why = text;
    const bool inherits = (ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) ==
                          (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    const bool writes = (ace->Mask & (GENERIC_ALL | GENERIC_WRITE | FILE_ADD_FILE)) != 0;
    open = inherits && writes;
  }
  FreeSid(everyone);
  return open;
}

}  // namespace wtest
