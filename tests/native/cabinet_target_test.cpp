#include "cabinet_target.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// A file system of folders (and plain files) kept in memory; paths end in a backslash
// when they name a folder, as the callback passes them.
class FakeFolders : public FolderOps {
 public:
  explicit FakeFolders(std::set<std::string> existing) : m_existing(std::move(existing)) {}
  bool MakeFolder(const char* path) override {
    calls.push_back(std::string("make ") + path);
    const std::string p(path);
    if (m_existing.count(p) || m_existing.count(p.substr(0, p.size() - 1))) return false;  // exists
    const std::string parent = p.substr(0, p.find_last_of('\\', p.size() - 2) + 1);
    if (!m_existing.count(parent)) return false;  // its parent is missing
    m_existing.insert(p);
    made.push_back(p);
    return true;
  }
  bool PathExists(const char* path) override {
    calls.push_back(std::string("exists ") + path);
    const std::string p(path);
    return m_existing.count(p) || m_existing.count(p.substr(0, p.size() - 1));
  }
  std::vector<std::string> calls;
  std::vector<std::string> made;

 private:
  std::set<std::string> m_existing;
};

const std::string kRoot = "C:\\T\\{G}\\";

TEST(CabinetDecision, NamesTheTargetAndMakesAtMostTwoFolders) {
  struct Case {
    const char* what;
    std::set<std::string> existing;  // besides C:\ and C:\T\ and the root
    const char* name;
    std::vector<std::string> made;
    std::vector<std::string> calls;  // the file-system calls, in order
  };
  const std::string r = kRoot;
  const Case cases[] = {
      {"an entry at the root: its folder exists", {}, "RUZE_Derurerovo_Vozi.exe", {}, {"make " + r, "exists " + r}},
      {"the first entry of a new top-level folder", {}, "language\\lang.de", {r + "language\\"}, {"make " + r + "language\\"}},
      {"a two-deep entry with neither folder: parent, then the entry's folder", {}, "a\\b\\f.txt",
       {r + "a\\", r + "a\\b\\"}, {"make " + r + "a\\b\\", "exists " + r + "a\\b\\", "make " + r + "a\\", "make " + r + "a\\b\\"}},
      {"a three-deep entry with none of its folders: nothing made", {}, "a\\b\\c\\f.txt", {},
       {"make " + r + "a\\b\\c\\", "exists " + r + "a\\b\\c\\", "make " + r + "a\\b\\", "make " + r + "a\\b\\c\\"}},
      {"the same once the top folder exists: both made", {r + "a\\"}, "a\\b\\c\\f.txt", {r + "a\\b\\", r + "a\\b\\c\\"},
       {"make " + r + "a\\b\\c\\", "exists " + r + "a\\b\\c\\", "make " + r + "a\\b\\", "make " + r + "a\\b\\c\\"}},
      {"an entry folder that exists as a plain file: answered all the same", {r + "x"}, "x\\f.txt", {},
       {"make " + r + "x\\", "exists " + r + "x\\"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::set<std::string> existing = c.existing;
    existing.insert({"C:\\", "C:\\T\\", kRoot});
    FakeFolders folders(existing);
    char target[260];
    std::memset(target, 'x', sizeof(target));
    bool abandoned = false;
    EXPECT_EQ(CabinetDecision(cabinet::kFileInCabinet, kRoot.c_str(), c.name, target, folders, 1252, abandoned),
              cabinet::kDoIt);
    EXPECT_FALSE(abandoned);
    EXPECT_EQ(std::string(target), kRoot + c.name);
    EXPECT_EQ(folders.made, c.made);
    EXPECT_EQ(folders.calls, c.calls);
  }
}

TEST(CabinetDecision, OtherNotificationsAreAnsweredZeroAndTouchNothing) {
  for (const unsigned notification : {0x10u, 0x12u, 0x13u, 0x14u, 0x0u, 0xFFFFFFFFu}) {
    FakeFolders folders({kRoot});
    char target[260];
    std::memset(target, 'x', sizeof(target));
    bool abandoned = true;  // not even an abandoned extraction answers these with anything but 0
    EXPECT_EQ(CabinetDecision(notification, kRoot.c_str(), "a.txt", target, folders, 1252, abandoned), 0u)
        << notification;
    EXPECT_EQ(std::string(target, sizeof(target)), std::string(260, 'x'));
    EXPECT_TRUE(folders.calls.empty());
  }
}

TEST(CabinetDecision, RefusesNamesThatDoNotFitOrLeaveTheRoot) {
  const std::string root170 = "C:\\" + std::string(166, 'r') + "\\";
  ASSERT_EQ(root170.size(), 170u);
  struct Case {
    std::string root, name;
    unsigned expected;
  };
  const Case cases[] = {
      {root170, std::string(89, 'n'), cabinet::kDoIt},  // 259 characters: fits
      {root170, std::string(90, 'n'), cabinet::kAbort},  // 260: no room for the terminator
      {"C:\\" + std::string(300, 'r') + "\\", "a.txt", cabinet::kAbort},
      {kRoot, "..\\x.txt", cabinet::kAbort},
      {kRoot, "a\\..\\..\\x.txt", cabinet::kAbort},
      {kRoot, "a/../../x.txt", cabinet::kAbort},
      {kRoot, "a\\. .\\x.txt", cabinet::kAbort},
      {kRoot, "a\\...\\x.txt", cabinet::kAbort},
      {kRoot, "\\Windows\\x.dll", cabinet::kAbort},
      {kRoot, "/etc/x", cabinet::kAbort},
      {kRoot, "C:x.txt", cabinet::kAbort},
      {kRoot, "D:\\x.txt", cabinet::kAbort},
      {kRoot, "a.txt:stream", cabinet::kAbort},
      {kRoot, "a\\\\b.txt", cabinet::kAbort},
      {kRoot, "a\\", cabinet::kAbort},
      {kRoot, "", cabinet::kAbort},
      {kRoot, "a..b\\c.d.txt", cabinet::kDoIt},
      {kRoot, ".hidden", cabinet::kDoIt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40) + " under a root of " + std::to_string(c.root.size()));
    FakeFolders folders({"C:\\", c.root});
    char target[260 + 1];
    std::memset(target, 'x', sizeof(target));
    target[260] = '#';  // a guard byte past the field
    bool abandoned = false;
    EXPECT_EQ(CabinetDecision(cabinet::kFileInCabinet, c.root.c_str(), c.name.c_str(), target, folders, 1252, abandoned),
              c.expected);
    EXPECT_EQ(target[260], '#');
    EXPECT_EQ(abandoned, c.expected == cabinet::kAbort);
    if (c.expected == cabinet::kAbort) {
      EXPECT_EQ(std::string(target, 260), std::string(260, 'x')) << "a refused entry gets no target";
      EXPECT_TRUE(folders.made.empty());
      // Every later entry is refused too, however harmless.
      EXPECT_EQ(CabinetDecision(cabinet::kFileInCabinet, c.root.c_str(), "ok.txt", target, folders, 1252, abandoned),
                cabinet::kAbort);
      EXPECT_EQ(std::string(target, 260), std::string(260, 'x'));
    }
  }
}

TEST(FindLastSeparator, StepsOverDoubleByteCharactersOfTheCodePage) {
  // 0x95 0x5C is one Shift-JIS character (a kanji whose trail byte is a backslash).
  const char name[] = "C:\\T\\\x95\x5C" "a.txt";
  const char* last932 = FindLastSeparator(name, 932);
  ASSERT_NE(last932, nullptr);
  EXPECT_EQ(last932 - name, 4) << "in code page 932 the trail byte is not a separator";
  EXPECT_EQ(FindLastSeparator(name, 1252) - name, 6) << "in 1252 every 0x5C separates";
  EXPECT_EQ(FindLastSeparator("no separator", 932), nullptr);
  EXPECT_EQ(FindLastSeparator("a\\\x81", 932) - "a\\\x81", 1) << "a lone lead byte at the end";

  // The folder rule follows it: the entry's folder is the root, not a cut kanji.
  FakeFolders folders({"C:\\", kRoot});
  char target[260];
  const char stored[] = "\x95\x5C" "a.txt";
  bool abandoned = false;
  EXPECT_EQ(CabinetDecision(cabinet::kFileInCabinet, kRoot.c_str(), stored, target, folders, 932, abandoned),
            cabinet::kDoIt);
  EXPECT_TRUE(folders.made.empty());
  EXPECT_EQ(folders.calls.front(), "make " + kRoot);
  // And a trail byte is never taken for a separator of an escaping component.
  EXPECT_TRUE(IsContainedName("\x95\x5C..", 932));
  EXPECT_FALSE(IsContainedName("\x95\x5C..", 1252));
}

TEST(IsLeadByte, KnowsTheDoubleByteCodePages) {
  EXPECT_TRUE(IsLeadByte(932, 0x81));
  EXPECT_TRUE(IsLeadByte(932, 0xFC));
  EXPECT_FALSE(IsLeadByte(932, 0xA0));  // half-width katakana: single byte
  EXPECT_FALSE(IsLeadByte(932, 0x5C));
  EXPECT_TRUE(IsLeadByte(936, 0xFE));
  EXPECT_FALSE(IsLeadByte(949, 0x80));
  EXPECT_FALSE(IsLeadByte(1252, 0x95));
  EXPECT_FALSE(IsLeadByte(65001, 0xE3));
}

TEST(ExtractedEntryAnswer, OnlyAWholeEntryOnDiskGoesOn) {
  struct Case {
    const char* what;
    bool found;
    unsigned long long onDisk, inCabinet;
    unsigned answer;
  };
  const Case cases[] = {
      {"whole", true, 5428, 5428, cabinet::kNoError},
      {"an empty entry, empty on disk", true, 0, 0, cabinet::kNoError},
      {"cut short (a full disk)", true, 4096, 5428, cabinet::kIncompleteEntry},
      {"nothing written", true, 0, 5428, cabinet::kIncompleteEntry},
      {"longer than the cabinet says", true, 5429, 5428, cabinet::kIncompleteEntry},
      {"missing", false, 0, 0, cabinet::kIncompleteEntry},
      {"the same low 32 bits, 4 GiB more", true, 0x100000000ULL + 7, 7, cabinet::kIncompleteEntry},
  };
  for (const Case& c : cases) {
    bool abandoned = false;
    EXPECT_EQ(ExtractedEntryAnswer(c.found, c.onDisk, c.inCabinet, abandoned), c.answer) << c.what;
    EXPECT_EQ(abandoned, c.answer != cabinet::kNoError) << c.what;
    // An iteration already abandoned stays so, whatever a later entry gives.
    bool already = true;
    (void)ExtractedEntryAnswer(c.found, c.onDisk, c.inCabinet, already);
    EXPECT_TRUE(already) << c.what;
  }
  EXPECT_NE(cabinet::kIncompleteEntry, 0u) << "any answer but 0 ends the iteration";

  // After a short entry, every later entry is refused, as after a refused name.
  bool abandoned = false;
  (void)ExtractedEntryAnswer(true, 1, 2, abandoned);
  FakeFolders folders({"C:\\", kRoot});
  char target[260];
  EXPECT_EQ(CabinetDecision(cabinet::kFileInCabinet, kRoot.c_str(), "next.txt", target, folders, 1252, abandoned),
            cabinet::kAbort);
}

}  // namespace
