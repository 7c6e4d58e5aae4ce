// The framework's file object: its open, write, close and destruction, through the seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "cfile.h"
#include "file_api.h"
#include "support.h"

namespace {

struct CreateFileCall {
  int count = 0;
  std::string path;
  DWORD access = 0, share = 0, disposition = 0, attributes = 0;
  bool hasSecurity = false, inherit = false, nullDescriptor = false, nullTemplate = false;
} g_create;
int g_writeCalls = 0;
int g_closeCalls = 0;
DWORD g_writeReports = 0;  // how many bytes the fake WriteFile claims to have stored

HANDLE WINAPI RecordingCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                  DWORD disposition, DWORD attributes, HANDLE templ) {
  ++g_create.count;
  g_create.path = path;
  g_create.access = access;
  g_create.share = share;
  g_create.disposition = disposition;
  g_create.attributes = attributes;
  g_create.hasSecurity = sa != nullptr;
  g_create.inherit = sa != nullptr && sa->bInheritHandle;
  g_create.nullDescriptor = sa != nullptr && sa->lpSecurityDescriptor == nullptr &&
                            sa->nLength == sizeof(SECURITY_ATTRIBUTES);
  g_create.nullTemplate = templ == nullptr;
  return RealFileApi().CreateFileA(path, access, share, sa, disposition, attributes, templ);
}
BOOL WINAPI FailingWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  ++g_writeCalls;
  *written = 0;
  SetLastError(ERROR_WRITE_FAULT);
  return FALSE;
}
BOOL WINAPI ShortWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  ++g_writeCalls;
  *written = g_writeReports;
  return TRUE;
}
BOOL WINAPI CountingWrite(HANDLE h, LPCVOID b, DWORD n, LPDWORD written, LPOVERLAPPED o) {
  ++g_writeCalls;
  return RealFileApi().WriteFile(h, b, n, written, o);
}
BOOL WINAPI CountingClose(HANDLE h) {
  ++g_closeCalls;
  return RealFileApi().CloseHandle(h);
}
BOOL WINAPI FailingClose(HANDLE h) {
  ++g_closeCalls;
  RealFileApi().CloseHandle(h);
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL WINAPI DeadVolume(LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPSTR, DWORD) { return FALSE; }
// A full path of exactly MAX_PATH characters, on a volume that answers: only the bound on the
// full path's length refuses it.
DWORD WINAPI TooLongFullPath(LPCSTR, DWORD size, LPSTR buffer, LPSTR*) {
  const std::string full = "C:\\" + std::string(MAX_PATH - 3, 'f');
  const std::size_t n = std::min<std::size_t>(full.size(), size - 1);
  std::memcpy(buffer, full.data(), n);
  buffer[n] = '\0';
  return MAX_PATH;
}

// A path of `length` characters made long by ".\" segments, whose full path is short.
std::string ShortOnceResolved(const std::string& dir, std::size_t length) {
  std::string path = dir;
  const std::string name = (length - dir.size()) % 2 == 1 ? "out.bin" : "outx.bin";
  while (path.size() + name.size() < length) path += ".\\";
  return path + name;
}

class CFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_create = CreateFileCall();
    g_writeCalls = g_closeCalls = 0;
    g_fileApi.CreateFileA = &RecordingCreateFile;
    g_fileApi.WriteFile = &CountingWrite;
    g_fileApi.CloseHandle = &CountingClose;
    dir_ = wtest::FreshScratch("cfile");
  }
  ScopedFileApi restore_;
  std::string dir_;
};

TEST_F(CFileTest, OpenCreatesWithTheFrameworkArguments) {
  const std::string path = dir_ + "out.bin";
  ASSERT_TRUE(wtest::WriteWholeFile(path, "old content that must go"));
  CFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 0x1001));
  EXPECT_EQ(g_create.count, 1);
  EXPECT_EQ(g_create.path, path);
  EXPECT_EQ(g_create.access, static_cast<DWORD>(GENERIC_WRITE));
  EXPECT_EQ(g_create.share, 0u);
  EXPECT_TRUE(g_create.hasSecurity && g_create.inherit && g_create.nullDescriptor);
  EXPECT_EQ(g_create.disposition, static_cast<DWORD>(CREATE_ALWAYS));
  EXPECT_EQ(g_create.attributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(g_create.nullTemplate);
  file.Write("abc", 3);
  file.Close();
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(wtest::ReadWholeFile(path, bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abc");  // truncated, then written
}

TEST_F(CFileTest, OpenRefusesWithoutRaising) {
  struct Case {
    const char* what;
    std::string path;
    bool deadVolume, longFullPath;
  };
  const Case cases[] = {
      {"a path of 260 characters", dir_ + std::string(260 - dir_.size(), 'a'), false, false},
      {"a path of 300 characters", dir_ + std::string(300, 'b'), false, false},
      {"a path of 260 characters that resolves to a short one", ShortOnceResolved(dir_, 260), false, false},
      {"a folder that does not exist", dir_ + "missing\\out.bin", false, false},
      {"a volume that does not answer", dir_ + "out.bin", true, false},
      {"a full path of MAX_PATH characters", dir_ + "out.bin", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFileApi local;
    if (c.deadVolume) g_fileApi.GetVolumeInformationA = &DeadVolume;
    if (c.longFullPath) g_fileApi.GetFullPathNameA = &TooLongFullPath;
    g_create.count = 0;
    CFile file;
    CFileException error(CFileException::none, 0);
    EXPECT_FALSE(file.Open(c.path.c_str(), 0x1001, &error));
    EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
    const bool reachesCreate = !c.deadVolume && !c.longFullPath && c.path.size() < MAX_PATH;
    EXPECT_EQ(g_create.count, reachesCreate ? 1 : 0);
  }
}

TEST_F(CFileTest, NetworkPathsAreNotAskedForTheirVolume) {
  g_fileApi.GetVolumeInformationA = &DeadVolume;
  CFile file;
  EXPECT_FALSE(file.Open("\\\\nohost\\share\\out.bin", 0x1001));
  EXPECT_EQ(g_create.count, 1);  // reached CreateFileA, which found no such host
}

TEST_F(CFileTest, ZeroSizeWriteCallsNothing) {
  CFile file;
  ASSERT_TRUE(file.Open((dir_ + "zero.bin").c_str(), 0x1001));
  file.Write(nullptr, 0);
  EXPECT_EQ(g_writeCalls, 0);
}

TEST_F(CFileTest, WriteIsOneCallAndFailuresRaise) {
  CFile file;
  ASSERT_TRUE(file.Open((dir_ + "w.bin").c_str(), 0x1001));
  const std::string data(100000, 'x');
  file.Write(data.data(), static_cast<UINT>(data.size()));
  EXPECT_EQ(g_writeCalls, 1);

  g_fileApi.WriteFile = &FailingWrite;
  try {
    file.Write("a", 1);
    ADD_FAILURE() << "a failing WriteFile must raise";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_lOsError, static_cast<unsigned long>(ERROR_WRITE_FAULT));
  }

  g_fileApi.WriteFile = &ShortWrite;
  g_writeReports = 2;
  try {
    file.Write("abc", 3);
    ADD_FAILURE() << "a short write must raise";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::diskFull);
  }
}

TEST_F(CFileTest, CloseRaisesOnFailureAndDestructorClosesOnlyWhatIsOpen) {
  {
    CFile file;
    ASSERT_TRUE(file.Open((dir_ + "d.bin").c_str(), 0x1001));
  }
  EXPECT_EQ(g_closeCalls, 1);  // the destructor closed the open handle

  {
    CFile file;
    ASSERT_TRUE(file.Open((dir_ + "c.bin").c_str(), 0x1001));
    file.Close();
    EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(g_closeCalls, 2);  // closed once, not again on destruction

  {
    CFile never;  // never opened: nothing to close
  }
  EXPECT_EQ(g_closeCalls, 2);

  CFile file;
  ASSERT_TRUE(file.Open((dir_ + "f.bin").c_str(), 0x1001));
  g_fileApi.CloseHandle = &FailingClose;
  EXPECT_THROW(file.Close(), CFileException);
  EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
}

}  // namespace
