#include "cfile.h"

#include <cstring>

#include "file_api.h"

namespace {

const FileApi kRealFileApi = {
    &::GetFullPathNameA, &::GetVolumeInformationA, &::CreateFileA, &::WriteFile, &::CloseHandle,
};

// Drive-letter paths name their volume by their first three characters ("C:\").
// Network paths are not queried.
bool VolumeAnswers(const char* fullPath) {
  if (fullPath[0] == '\\' && fullPath[1] == '\\') return true;
  char root[4] = {fullPath[0], fullPath[1], '\\', '\0'};
  if (fullPath[1] != ':') return false;
  return g_fileApi.GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != FALSE;
}

}  // namespace

FileApi g_fileApi = kRealFileApi;
const FileApi& RealFileApi() { return kRealFileApi; }

CFile::CFile() noexcept : m_hFile(INVALID_HANDLE_VALUE), m_bCloseOnDelete(false) {}

CFile::~CFile() {
  if (m_hFile != INVALID_HANDLE_VALUE && m_bCloseOnDelete) {
    g_fileApi.CloseHandle(m_hFile);  // nothing can be reported from a destructor
  }
}

BOOL CFile::Open(LPCSTR fileName, UINT openFlags, CFileException* error) {
  if (error != nullptr) *error = CFileException(CFileException::none, 0);
  m_hFile = INVALID_HANDLE_VALUE;
  m_bCloseOnDelete = false;

  if (fileName == nullptr || std::strlen(fileName) >= MAX_PATH) return FALSE;
  char fullPath[MAX_PATH] = {};
  char* filePart = nullptr;
  const DWORD fullLength = g_fileApi.GetFullPathNameA(fileName, MAX_PATH, fullPath, &filePart);
  if (fullLength == 0 || fullLength >= MAX_PATH) return FALSE;
  if (!VolumeAnswers(fullPath)) return FALSE;

  DWORD access = 0;
  switch (openFlags & 3U) {
    case modeRead: access = GENERIC_READ; break;
    case modeWrite: access = GENERIC_WRITE; break;
    default: access = GENERIC_READ | GENERIC_WRITE; break;
  }
  const DWORD disposition = (openFlags & modeCreate) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;
  SECURITY_ATTRIBUTES attributes = {};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;

  HANDLE handle = g_fileApi.CreateFileA(fileName, access, 0, &attributes, disposition,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = CFileException(CFileException::genericException, GetLastError());
    return FALSE;
  }
  m_hFile = handle;
  m_bCloseOnDelete = true;
  return TRUE;
}

void CFile::Write(const void* buffer, UINT count) {
  if (count == 0) return;
  DWORD written = 0;
  if (!g_fileApi.WriteFile(m_hFile, buffer, count, &written, nullptr)) {
    throw CFileException(CFileException::genericException, GetLastError());
  }
  if (written < count) throw CFileException(CFileException::diskFull, ERROR_DISK_FULL);
}

void CFile::Close() {
  BOOL closed = TRUE;
  if (m_hFile != INVALID_HANDLE_VALUE) closed = g_fileApi.CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  m_bCloseOnDelete = false;
  if (!closed) throw CFileException(CFileException::genericException, GetLastError());
}

void CFile::Abort() noexcept {
  if (m_hFile != INVALID_HANDLE_VALUE) (void)g_fileApi.CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  m_bCloseOnDelete = false;
}
