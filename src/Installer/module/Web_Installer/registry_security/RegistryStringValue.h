// Names one registry key (a root plus a subkey path) and writes REG_SZ values into it.
// Keeps no key open between calls.
#pragma once

#include <windows.h>

#include "cstring.h"

class RegistryStringValue {
 public:
  // Stores the root (never opened or closed here) and copies the path; a null path gives
  // an empty one. No registry access.
  RegistryStringValue(HKEY rootKey, LPCSTR subKey);

  // Creates or opens the key, writes `name` as REG_SZ with `text` in a zero-filled buffer
  // of 2 * L + 2 bytes (L = the text's length: the text, its terminator and L + 1 more
  // zeros), and closes the key. TRUE only when the value was written and the key closed.
  BOOL SetString(LPCSTR name, CStringA text);

  HKEY m_hRootKey;
  CStringA m_strSubKey;
};
