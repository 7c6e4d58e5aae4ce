// The platform calls of the registry string writer, reached through a table that tests can
// replace; the data buffer's allocation is in it too, so that its failure can be tested.
#pragma once

#include <windows.h>

#include "scoped_table.h"

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

using ScopedRegistryApi = ScopedTable<RegistryApi, g_registryApi>;  // restores the table when it goes out of scope
