// The platform calls that CFile makes, reached through a table that tests can replace.
#pragma once

#include <windows.h>

#include "scoped_table.h"

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

using ScopedFileApi = ScopedTable<FileApi, g_fileApi>;  // restores the table when it goes out of scope
