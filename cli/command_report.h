// The outcome of one ktl command, as text or, with --json, as one JSON object on standard
// output. In JSON the object holds the whole outcome, failure included; standard error keeps
// only what is told on the way: notices, questions and progress.
#pragma once

#include <cstdint>
#include <string>

#include "cli/json_writer.h"

namespace cli {

class CommandReport {
  public:
    CommandReport(const char* command, bool json);

    bool Json() const { return json_; }

    // The object's fields before "status", when in JSON; ignored in text.
    JsonWriter& Fields() { return writer_; }
    // A path or other text from the command line or the system, in the ANSI code page.
    void Text(const char* key, const char* ansi);
    void Text(const char* key, const std::string& ansi) { Text(key, ansi.c_str()); }

    // Text: "ktl: `reason`" on standard error. JSON: "status" and "error", and the object goes
    // out. Returns `status`.
    int Fail(int status, const std::string& reason);
    // JSON: "status" 0, and the object goes out. Returns 0.
    int Succeed();

  private:
    void Finish();

    bool json_;
    JsonWriter writer_;
};

// Text in the system's ANSI code page as UTF-8 for JSON; bytes that are no text there come
// out one character each (see utf8_text.h).
std::string Utf8FromAnsi(const std::string& ansi);

}  // namespace cli
