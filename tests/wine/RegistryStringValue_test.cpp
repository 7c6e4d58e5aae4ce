// The registry string writer: the real registry of the test prefix, and every failure
// through its seam.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RegistryStringValue.h"
#include "registry_api.h"
#include "support.h"

namespace {

const char kTestRoot[] = "Software\\WebInstallerTests";
const char kRunOnceStyle[] = "Software\\WebInstallerTests\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

struct Trace {
  std::vector<std::string> calls;
  std::string subKeySeen;
  HKEY rootSeen = nullptr;
  DWORD reservedSeen = 1, optionsSeen = 99;
  bool classNull = false, securityNull = false, dispositionNull = false;
  REGSAM accessSeen = 0;
  std::string nameSeen;
  DWORD setReservedSeen = 1;
  DWORD typeSeen = 0;
  std::vector<unsigned char> dataSeen;
  void* allocated = nullptr;
  void* freed = nullptr;
  LONG createResult = ERROR_SUCCESS, setResult = ERROR_SUCCESS, closeResult = ERROR_SUCCESS;
  bool allocationFails = false;
} g_trace;

LONG WINAPI TracedCreate(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES sa, PHKEY key, LPDWORD disposition) {
  g_trace.calls.push_back("RegCreateKeyExA");
  g_trace.rootSeen = root;
  g_trace.subKeySeen = subKey;
  g_trace.reservedSeen = reserved;
  g_trace.classNull = cls == nullptr;
  g_trace.optionsSeen = options;
  g_trace.accessSeen = access;
  g_trace.securityNull = sa == nullptr;
  g_trace.dispositionNull = disposition == nullptr;
  if (g_trace.createResult != ERROR_SUCCESS) return g_trace.createResult;
  return RealRegistryApi().RegCreateKeyExA(root, subKey, reserved, cls, options, access, sa, key, disposition);
}
LONG WINAPI TracedSet(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  g_trace.calls.push_back("RegSetValueExA");
  g_trace.nameSeen = name;
  g_trace.setReservedSeen = reserved;
  g_trace.typeSeen = type;
  g_trace.dataSeen.assign(data, data + size);
  if (g_trace.setResult != ERROR_SUCCESS) return g_trace.setResult;
  return RealRegistryApi().RegSetValueExA(key, name, reserved, type, data, size);
}
LONG WINAPI TracedClose(HKEY key) {
  g_trace.calls.push_back("RegCloseKey");
  const LONG real = RealRegistryApi().RegCloseKey(key);
  return g_trace.closeResult != ERROR_SUCCESS ? g_trace.closeResult : real;
}
void* TracedAllocate(std::size_t bytes) {
  g_trace.calls.push_back("Allocate");
  if (g_trace.allocationFails) return nullptr;
  g_trace.allocated = RealRegistryApi().Allocate(bytes);
  return g_trace.allocated;
}
void TracedFree(void* block) {
  g_trace.calls.push_back("Free");
  g_trace.freed = block;
  RealRegistryApi().Free(block);
}

std::vector<unsigned char> ReadBack(const char* subKey, const wchar_t* name, DWORD* type = nullptr) {
  HKEY key = nullptr;
  std::vector<unsigned char> data;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return data;
  DWORD size = 0, t = 0;
  if (RegQueryValueExW(key, name, nullptr, &t, nullptr, &size) == ERROR_SUCCESS) {
    data.resize(size);
    RegQueryValueExW(key, name, nullptr, &t, data.data(), &size);
    data.resize(size);
  }
  if (type != nullptr) *type = t;
  RegCloseKey(key);
  return data;
}

class RegistryStringValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    g_trace = Trace();
    g_registryApi = {&TracedCreate, &TracedSet, &TracedClose, &TracedAllocate, &TracedFree};
  }
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot); }
  ScopedRegistryApi restore_;
};

TEST_F(RegistryStringValueTest, CreatesTheKeyAndStoresTheTextWithItsTrailingZeros) {
  const std::string thirty(30, 'c');
  for (const std::string& text : {std::string(), thirty, std::string("cmd /Q /C rd /S /Q \"C:\\a b\\{G}\"")}) {
    SCOPED_TRACE(text);
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    g_trace.calls.clear();
    RegistryStringValue value(HKEY_CURRENT_USER, kRunOnceStyle);
    ASSERT_TRUE(value.SetString("Cleanup", text.c_str()));
    EXPECT_EQ(g_trace.calls, (std::vector<std::string>{"RegCreateKeyExA", "Allocate", "RegSetValueExA", "RegCloseKey", "Free"}));
    // The key: the object's root and path, a non-volatile key (a volatile one is gone after
    // a restart, and the cleanup with it), full access, no class, default security.
    EXPECT_EQ(g_trace.rootSeen, HKEY_CURRENT_USER);
    EXPECT_EQ(g_trace.subKeySeen, kRunOnceStyle);
    EXPECT_EQ(g_trace.reservedSeen, 0u);
    EXPECT_TRUE(g_trace.classNull);
    EXPECT_EQ(g_trace.optionsSeen, static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
    EXPECT_EQ(g_trace.accessSeen, static_cast<REGSAM>(KEY_ALL_ACCESS));
    EXPECT_TRUE(g_trace.securityNull) << "the key keeps the security the platform gives it";
    EXPECT_TRUE(g_trace.dispositionNull);
    EXPECT_EQ(g_trace.nameSeen, "Cleanup");
    EXPECT_EQ(g_trace.setReservedSeen, 0u);
    EXPECT_EQ(g_trace.typeSeen, static_cast<DWORD>(REG_SZ));
    // Handed over: the text, its terminator and L + 1 more zeros, 2 * L + 2 bytes in all.
    std::vector<unsigned char> handed(text.begin(), text.end());
    handed.resize(2 * text.size() + 2, 0);
    EXPECT_EQ(g_trace.dataSeen, handed);
    if (text.size() == 30) {
      EXPECT_EQ(g_trace.dataSeen.size(), 62u);
    }
    EXPECT_EQ(g_trace.freed, g_trace.allocated);
    // Stored as UTF-16: the text, then L + 2 zero characters.
    DWORD type = 0;
    EXPECT_EQ(ReadBack(kRunOnceStyle, L"Cleanup", &type), wtest::StoredRegistryLayout(text));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  }
}

TEST_F(RegistryStringValueTest, ReplacesAnExistingValueOfTheSameName) {
  RegistryStringValue value(HKEY_CURRENT_USER, kRunOnceStyle);
  ASSERT_TRUE(value.SetString("Cleanup", "a much longer first text than the second"));
  ASSERT_TRUE(value.SetString("Cleanup", "second"));
  EXPECT_EQ(ReadBack(kRunOnceStyle, L"Cleanup"), wtest::StoredRegistryLayout("second"));
}

TEST_F(RegistryStringValueTest, ANullSubKeyIsAnEmptyPath) {
  RegistryStringValue value(HKEY_CURRENT_USER, nullptr);
  EXPECT_TRUE(value.m_strSubKey.IsEmpty());
  g_trace.setResult = ERROR_ACCESS_DENIED;  // do not write into the root itself
  EXPECT_FALSE(value.SetString("x", "y"));
  EXPECT_EQ(g_trace.subKeySeen, "");
}

TEST_F(RegistryStringValueTest, EveryFailureReturnsFalseAndReleasesWhatItHeld) {
  struct Case {
    const char* what;
    LONG create, set, close;
    bool allocationFails;
    std::vector<std::string> calls;
    bool valueStays;
  };
  const Case cases[] = {
      {"the key cannot be created: nothing to close", ERROR_ACCESS_DENIED, 0, 0, false, {"RegCreateKeyExA"}, false},
      {"no buffer: the key is closed", 0, 0, 0, true, {"RegCreateKeyExA", "Allocate", "RegCloseKey"}, false},
      {"the write fails: key closed, buffer freed", 0, ERROR_ACCESS_DENIED, 0, false,
       {"RegCreateKeyExA", "Allocate", "RegSetValueExA", "RegCloseKey", "Free"}, false},
      {"the close fails after a good write: FALSE, the value stays", 0, 0, ERROR_INVALID_HANDLE, false,
       {"RegCreateKeyExA", "Allocate", "RegSetValueExA", "RegCloseKey", "Free"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    g_trace.calls.clear();
    g_trace.createResult = c.create;
    g_trace.setResult = c.set;
    g_trace.closeResult = c.close;
    g_trace.allocationFails = c.allocationFails;
    g_trace.allocated = g_trace.freed = nullptr;
    RegistryStringValue value(HKEY_CURRENT_USER, kRunOnceStyle);
    EXPECT_FALSE(value.SetString("Cleanup", "text"));
    EXPECT_EQ(g_trace.calls, c.calls);
    EXPECT_EQ(g_trace.freed, g_trace.allocated);
    EXPECT_EQ(!ReadBack(kRunOnceStyle, L"Cleanup").empty(), c.valueStays);
  }
}

}  // namespace
