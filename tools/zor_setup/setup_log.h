// The stand-in's account of one run, in %TEMP%\ZorSetup.log: silent mode shows no window, so
// this file is the only place where its failures can be read.
#pragma once

namespace zor_setup {

// Starts a fresh log for this run; without a temporary directory the lines go nowhere.
void OpenSetupLog();

// Appends one line, printf-style, and flushes it so a killed run still leaves it behind.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zor_setup
