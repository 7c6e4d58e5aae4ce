// Names and identifiers fixed in the launcher. The launcher reads no configuration.
#pragma once

namespace product {

// Names the work folder and ends both single-instance mutex names.
inline constexpr char kProductGuid[] = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";

inline constexpr char kGlobalMutexName[] =
    "Global\\ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";
inline constexpr char kPlainMutexName[] = "ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";

inline constexpr char kRunOnceSubKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr char kRunOnceValueName[] = "ZORIZavezUvoDuvare";
inline constexpr char kDeltreeTemplate[] = "command /C deltree /Y \"%s\"";
inline constexpr char kRdTemplate[] = "cmd /Q /C rd /S /Q \"%s\"";

inline constexpr char kCabinetFileName[] = "VOVore.cab";
inline constexpr char kEntryProgramName[] = "RUZE_Derurerovo_Vozi.exe";

// The payload resource: numeric type and name, stored in language 1041.
inline constexpr unsigned kPayloadResourceType = 5428;
inline constexpr unsigned kPayloadResourceName = 137;
inline constexpr unsigned kIconGroupResourceName = 138;

// Paths that the platform hands out are read into buffers of this size (MAX_PATH).
inline constexpr unsigned kPathBufferSize = 260;

}  // namespace product
