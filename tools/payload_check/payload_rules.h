// What the build requires of a payload before it embeds it: a cabinet the launcher can
// serve on every user's machine. The cabinet is read with libmspack.
#pragma once

#include <cstdint>
#include <string>

struct PayloadReport {
  bool ok = false;
  std::string message;  // the reason for a refusal, naming the entry at fault; a summary otherwise
};

// The room that ExtractionRoot must keep, in bytes of the ANSI code page (a double-byte
// character takes two): the longest stored name may have at most 259 - 170 = 89 characters.
inline constexpr unsigned kRootRoom = 170;

// What one cabinet folder holds: its data blocks are counted in 16 bits, and a block unpacks
// to 32 KiB at most, so a folder unpacks to 65,535 x 32,768 = 2,147,450,880 bytes at most.
inline constexpr std::uint64_t kBlockBytes = 32768;
inline constexpr std::uint64_t kFolderBlocks = 65535;
inline constexpr std::uint64_t kFolderBytes = kFolderBlocks * kBlockBytes;
// The cabinet service reads a cabinet through file offsets that are signed 32-bit numbers.
inline constexpr std::uint64_t kServiceBytes = 0x7FFFFFFF;
// What the image can carry: the payload is mapped with the whole image into a 32-bit process
// of 2 GiB of address space. Under 32-bit Wine an image of up to 1,971 MiB still loads and
// runs the launcher; this keeps a margin for what Windows and its add-ons map besides
// (docs/payload-limits.md).
inline constexpr std::uint64_t kImagePayloadBytes = 1536ULL << 20;

PayloadReport CheckPayload(const std::string& cabinetPath);

// A name Windows keeps for a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9), in any
// case, alone or before an extension: no file or folder can be made under it.
bool IsReservedDeviceName(const std::string& component);

// 2147450880 as "2,147,450,880".
std::string Grouped(std::uint64_t value);
