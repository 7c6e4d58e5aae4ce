#include "temp_path_form.h"

#include <cstring>

bool HoldsReplacedCharacter(const char* path) { return std::strchr(path, '?') != nullptr; }

TempPathForm ChooseTempPathForm(bool holdsReplaced, bool wideKnown, bool readsBack) {
  if (!wideKnown) return holdsReplaced ? TempPathForm::None : TempPathForm::AsHandedOut;
  if (holdsReplaced || !readsBack) return TempPathForm::ShortForm;
  return TempPathForm::AsHandedOut;
}
