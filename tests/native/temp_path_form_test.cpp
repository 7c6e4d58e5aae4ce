#include "temp_path_form.h"

#include <gtest/gtest.h>

namespace {

TEST(HoldsReplacedCharacter, FindsOnlyTheCodePagesReplacement) {
  struct Case {
    const char* path;
    bool replaced;
  };
  const Case cases[] = {
      {"C:\\Users\\me\\AppData\\Local\\Temp\\", false},
      // Shift-JIS characters whose trail bytes are 0x5C and 0x40..0x7E: none is a '?'.
      {"C:\\\x95\x5C\x83\x5C\x94\x5C\\\x81\x40\x9F\x7E\\", false},
      {"C:\\\xC3\xDD\xCC\xDF\\", false},  // half-width katakana
      // How the platform hands out a temp path holding U+20BB7 (a surrogate pair) under 932.
      {"C:\\??\x93\x63\\\xC3\xDD\xCC\xDF\\", true},
      {"C:\\Users\\?\\", true},
      {"?", true},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HoldsReplacedCharacter(c.path), c.replaced) << c.path;
}

TEST(ChooseTempPathForm, TakesTheNarrowPathOnlyWhereItNamesTheRealDirectory) {
  struct Case {
    const char* what;
    bool holdsReplaced, wideKnown, readsBack;
    TempPathForm expected;
  };
  const Case cases[] = {
      {"reads back as the wide path", false, true, true, TempPathForm::AsHandedOut},
      {"a look-alike in place of a lost character (e for e-acute)", false, true, false, TempPathForm::ShortForm},
      {"'?' in place of a lost character", true, true, false, TempPathForm::ShortForm},
      // The wide path could not be read: nothing to compare with, so the narrow path stands
      // unless it shows its loss itself.
      {"no wide path, no '?'", false, false, false, TempPathForm::AsHandedOut},
      {"no wide path, and a '?'", true, false, false, TempPathForm::None},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseTempPathForm(c.holdsReplaced, c.wideKnown, c.readsBack), c.expected) << c.what;
  }
  // A '?' is a loss even where the conversion happens to read it back ('?' converts to '?').
  EXPECT_EQ(ChooseTempPathForm(true, true, true), TempPathForm::ShortForm);
}

}  // namespace
