#include "RegistryStringValue.h"

#include <cstring>

#include "registry_api.h"

RegistryStringValue::RegistryStringValue(HKEY rootKey, LPCSTR subKey) : m_hRootKey(rootKey), m_strSubKey(subKey) {}

// The text is taken by value: the call works on, and releases, its own copy.
BOOL RegistryStringValue::SetString(LPCSTR name, CStringA text) {  // NOLINT(performance-unnecessary-value-param)
  HKEY key = nullptr;
  if (g_registryApi.RegCreateKeyExA(m_hRootKey, m_strSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return FALSE;  // no handle to close
  }

  // Twice the length plus two, not L + 1: the stored value carries L + 2 zero bytes.
  const DWORD length = static_cast<DWORD>(text.GetLength());
  const DWORD dataSize = 2 * length + 2;
  BYTE* data = static_cast<BYTE*>(g_registryApi.Allocate(dataSize));
  if (data == nullptr) {
    g_registryApi.RegCloseKey(key);
    return FALSE;
  }
  std::memset(data, 0, dataSize);
  lstrcpyA(reinterpret_cast<LPSTR>(data), text);

  if (g_registryApi.RegSetValueExA(key, name, 0, REG_SZ, data, dataSize) != ERROR_SUCCESS) {
    g_registryApi.RegCloseKey(key);
    g_registryApi.Free(data);
    return FALSE;
  }
  // A failing close still fails the call, although the value has been written.
  const LONG closed = g_registryApi.RegCloseKey(key);
  g_registryApi.Free(data);
  return closed == ERROR_SUCCESS ? TRUE : FALSE;
}
