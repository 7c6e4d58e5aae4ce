#include "registry_api.h"

#include <cstdlib>

namespace {
void* CrtAllocate(std::size_t bytes) { return std::malloc(bytes); }
void CrtFree(void* block) { std::free(block); }

const RegistryApi kRealRegistryApi = {&::RegCreateKeyExA, &::RegSetValueExA, &::RegCloseKey, &CrtAllocate, &CrtFree};
}  // namespace

RegistryApi g_registryApi = kRealRegistryApi;
const RegistryApi& RealRegistryApi() { return kRealRegistryApi; }
