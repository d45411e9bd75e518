// A simulated power cut for the crash tests of the POSIX test build, after SQLite's: the file
// operations tell it what they are about to change, and when the cut comes it puts the disk
// into one state that a real machine losing power there could have left. Data written since a
// file's last flush is kept or lost sector by sector (so a write may be torn at sector
// boundaries) and a size change may be lost; creations, deletions and renames whose folder
// was not synced since are undone from the newest on, as an ordered file system journal loses
// a suffix of them. Only ktl_platform_testing carries it; it records nothing unless armed.
#pragma once

#include <cstdint>

namespace platform::fault {

#if defined(KTL_FAULT_INJECTION) && !defined(_WIN32)

constexpr uint32_t kSimulatedSectorSize = 512;

// Starts recording; the `countdown`-th file operation from now cuts the power: the losses
// chosen by `seed` are applied and the process ends with `exitCode`.
void ArmPowerCut(int64_t countdown, uint32_t seed, int exitCode = 78);
bool PowerCutArmed();

// What the file operations tell it, before they change anything.
void BeforeWrite(int descriptor, const char* path, uint64_t length);  // at the descriptor's place
void BeforeResize(int descriptor, const char* path, uint64_t newSize);
void Flushed(const char* path);
// A file is about to be created, or emptied when it exists.
void BeforeCreateAlways(const char* path);
void BeforeDelete(const char* path);
void BeforeRename(const char* from, const char* to);
void FolderFlushed(const char* folder);

// Called by the seam when the armed operation comes: applies the losses; never returns.
[[noreturn]] void CutPower();

// Cuts the power between operations, after a change returned: what it reported done must
// survive the losses chosen by the armed seed. The process ends with `exitCode`.
[[noreturn]] void CutPowerNow(int exitCode);

#else

[[gnu::always_inline]] inline void BeforeWrite(int, const char*, uint64_t) {}
[[gnu::always_inline]] inline void BeforeResize(int, const char*, uint64_t) {}
[[gnu::always_inline]] inline void Flushed(const char*) {}
[[gnu::always_inline]] inline void BeforeCreateAlways(const char*) {}
[[gnu::always_inline]] inline void BeforeDelete(const char*) {}
[[gnu::always_inline]] inline void BeforeRename(const char*, const char*) {}
[[gnu::always_inline]] inline void FolderFlushed(const char*) {}

#endif

}  // namespace platform::fault
