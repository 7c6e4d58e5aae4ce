// Shared helpers of the Windows-side tests: where things are, starting programs with a
// chosen temp directory, and reading what a run left on disk and in the registry.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace wtest {

// The build tree and the scratch folder, as Windows paths (the test runner passes them).
std::string BuildDir();
std::string ScratchRoot();
// A fresh, empty folder under the scratch root for one test, with a trailing backslash.
std::string FreshScratch(const std::string& name);

// The launcher under test (the product itself in the 32-bit tree, the twin in the 64-bit
// one), the payload it carries, and that payload's source tree (a trailing backslash).
std::string LauncherPath();
std::string PayloadPath();
std::string PayloadTree();
std::string FixturePath(const std::string& exeName);

struct RunResult {
  bool started = false;
  bool finished = false;  // false: still running at the time-out, and then killed
  DWORD exitCode = 0;
  DWORD milliseconds = 0;
};

// Environment overrides for a child: TMP and TEMP set to `tempDir` (the platform reads the
// temp path from them), the rest inherited.
std::vector<char> EnvironmentWithTemp(const std::string& tempDir);

// Starts `commandLine` in `currentDir` (empty: ours) with `tempDir` as its temp directory.
HANDLE StartProcess(const std::string& commandLine, const std::string& tempDir,
                    const std::string& currentDir = std::string());
RunResult WaitProcess(HANDLE process, DWORD timeoutMs, DWORD startTick);
RunResult RunProcess(const std::string& commandLine, const std::string& tempDir, DWORD timeoutMs,
                     const std::string& currentDir = std::string());

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& bytes);
bool WriteWholeFile(const std::string& path, const std::string& text);
void DeleteTree(const std::string& path);
bool MakeDirectories(const std::string& path);

// The cleanup value under HKCU\...\RunOnce: its raw bytes (UTF-16 as stored), or false.
bool ReadRunOnceValue(std::vector<unsigned char>& data, DWORD& type);
void DeleteRunOnceValue();
// The text `ascii` as the registry stores an ANSI REG_SZ of 2*L+2 bytes: the characters,
// then L + 2 zero characters, all in UTF-16.
std::vector<unsigned char> StoredRegistryLayout(const std::string& ascii);

bool MutexExists(const char* name);

// Every file under `root` (a trailing backslash) as a name relative to it; with `withFolders`,
// every folder too, its name ending in a backslash.
std::vector<std::string> ListTree(const std::string& root, bool withFolders = false);

// What differs between `folder` (a trailing backslash) and a whole run's result: each entry of
// the payload's source tree that is missing or not byte-identical, each other file, and
// VOVore.cab unless it holds exactly the payload. Empty when the folder holds the whole set.
std::vector<std::string> DifferencesFromPayload(const std::string& folder);

// The starts of the sample installer, in order, from the file it appends to (WI_SAMPLE_RECORD):
// one map of its fields (command_line, arguments, current_directory, program, started_tick) each.
using InstallerStart = std::map<std::string, std::string>;
std::vector<InstallerStart> ReadInstallerStarts(const std::string& recordPath);
// Waits until the record holds `count` complete starts (a start's block ends with started_tick);
// gives up early once `launcher`, when given, has ended without them.
bool WaitForInstallerStarts(const std::string& recordPath, size_t count, DWORD timeoutMs,
                            HANDLE launcher = nullptr);

// True when the folder's DACL lets Everyone (S-1-1-0) write into it, and passes that on to
// what is made inside (object and container inherit).
bool OpenToEveryone(const std::string& folder, std::string& why);

// The launcher's fixed names, written out here on purpose rather than taken from the
// product's constants: a typo on either side then shows as a failing test.
inline constexpr char kGuid[] = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";
inline constexpr char kGlobalMutex[] = "Global\\ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";
inline constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr char kRunOnceValue[] = "ZORIZavezUvoDuvare";

}  // namespace wtest
