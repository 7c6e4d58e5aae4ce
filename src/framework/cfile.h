// The framework's file object, as far as the launcher writes its payload through it.
#pragma once

#include <windows.h>

#include "exceptions.h"

class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    modeCreate = 0x1000,
  };

  CFile() noexcept;
  virtual ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens `fileName` for the access in the low two bits of `openFlags`, creating or
  // truncating it under modeCreate. Refuses, returning FALSE and raising nothing, a path of
  // MAX_PATH characters or more, one that does not resolve to a full path shorter than
  // MAX_PATH, and a local path whose volume does not answer. The file is never shared.
  virtual BOOL Open(LPCSTR fileName, UINT openFlags, CFileException* error = nullptr);

  // One WriteFile for the whole count; nothing at all for a count of 0. Raises
  // CFileException on a failed call, and one with cause diskFull on a short write.
  virtual void Write(const void* buffer, UINT count);

  // Closes an open handle; raises CFileException when CloseHandle fails.
  virtual void Close();

  // Closes an open handle and ignores any failure: for use where a failure is already
  // being handled.
  virtual void Abort() noexcept;

  HANDLE m_hFile;

 private:
  bool m_bCloseOnDelete;
};
