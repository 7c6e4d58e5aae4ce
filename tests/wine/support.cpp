#include "support.h"

#include <gtest/gtest.h>

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
