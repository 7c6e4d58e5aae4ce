// The platform calls that CFile makes, reached through a table that tests can replace.
#pragma once

#include <windows.h>

struct FileApi {
  decltype(&::GetFullPathNameA) GetFullPathNameA;
  decltype(&::GetVolumeInformationA) GetVolumeInformationA;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::WriteFile) WriteFile;
  decltype(&::CloseHandle) CloseHandle;
};

// The table every CFile call goes through; it holds the real calls unless a test swapped it.
extern FileApi g_fileApi;
const FileApi& RealFileApi();

// Restores the table it found when it goes out of scope.
class ScopedFileApi {
 public:
  ScopedFileApi() : m_saved(g_fileApi) {}
  ~ScopedFileApi() { g_fileApi = m_saved; }
  ScopedFileApi(const ScopedFileApi&) = delete;
  ScopedFileApi& operator=(const ScopedFileApi&) = delete;

 private:
  FileApi m_saved;
};
