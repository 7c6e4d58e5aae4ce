// Which narrow form of the user's temp directory names the real directory: pure decisions
// over what the platform handed out.
#pragma once

// True when a narrow path the platform handed out holds a character that the ANSI code page
// could not hold: the platform puts '?' in its place. '?' is never part of a file name, and
// 0x3F is never the trail byte of a double-byte character in an ANSI code page (their trail
// bytes start at 0x40), so a plain byte search finds it.
bool HoldsReplacedCharacter(const char* path);

enum class TempPathForm {
  AsHandedOut,  // the narrow path names the directory: use it as it is
  ShortForm,    // it names another directory, or none: reach the directory by its short form
  None,         // it is wrong, and there is no wide path to take a short form of
};

// `holdsReplaced`: the narrow path holds '?'. `wideKnown`: the wide temp path was handed out
// and fits the buffer. `readsBack`: the narrow path, converted back through the ANSI code
// page, is exactly the wide path. A narrow path that does not read back holds a look-alike
// (the platform's best-fit mapping turns "é" into "e") or a '?' in place of a character the
// code page lacks. Without a wide path to compare with, a narrow path without '?' is taken
// as it is.
TempPathForm ChooseTempPathForm(bool holdsReplaced, bool wideKnown, bool readsBack);
