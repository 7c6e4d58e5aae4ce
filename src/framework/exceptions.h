// Exceptions of the framework substitute. Thrown by value, caught by reference.
#pragma once

class CException {
 public:
  virtual ~CException() = default;
};

// Raised by CStringA when a composition cannot get its memory.
class CMemoryException : public CException {};

// Raised by CFile::Write and CFile::Close.
class CFileException : public CException {
 public:
  enum Cause { none = 0, genericException = 1, diskFull = 14 };
  CFileException(int cause, unsigned long osError) : m_cause(cause), m_lOsError(osError) {}
  int m_cause;
  unsigned long m_lOsError;
};
