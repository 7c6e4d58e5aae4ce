// The platform calls of the registry string writer, reached through a table that tests can
// replace; the data buffer's allocation is in it too, so that its failure can be tested.
#pragma once

#include <windows.h>

#include <cstddef>

struct RegistryApi {
  decltype(&::RegCreateKeyExA) RegCreateKeyExA;
  decltype(&::RegSetValueExA) RegSetValueExA;
  decltype(&::RegCloseKey) RegCloseKey;
  void* (*Allocate)(std::size_t bytes);  // C runtime heap
  void (*Free)(void* block);
};

extern RegistryApi g_registryApi;
const RegistryApi& RealRegistryApi();

class ScopedRegistryApi {
 public:
  ScopedRegistryApi() : m_saved(g_registryApi) {}
  ~ScopedRegistryApi() { g_registryApi = m_saved; }
  ScopedRegistryApi(const ScopedRegistryApi&) = delete;
  ScopedRegistryApi& operator=(const ScopedRegistryApi&) = delete;

 private:
  RegistryApi m_saved;
};
