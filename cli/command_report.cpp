#include "cli/command_report.h"

#include <cstdio>

#include "cli/utf8_text.h"

namespace cli {

std::string Utf8FromAnsi(const std::string& ansi) {
    return AnsiToUtf8(ansi).text;
}

CommandReport::CommandReport(const char* command, bool json) : json_(json) {
    if (json_) {
        writer_.BeginObject();
        writer_.Field("command", std::string(command));
    }
}

void CommandReport::Text(const char* key, const char* ansi) {
    if (!json_) {
        return;
    }
    if (ansi == nullptr) {
        writer_.Key(key);
        writer_.Null();
    } else {
        writer_.Field(key, Utf8FromAnsi(ansi));
    }
}

int CommandReport::Fail(int status, const std::string& reason) {
    if (!json_) {
        std::fprintf(stderr, "ktl: %s\n", reason.c_str());
        return status;
    }
    writer_.Field("status", static_cast<uint64_t>(status));
    writer_.Field("error", Utf8FromAnsi(reason));
    Finish();
    return status;
}

int CommandReport::Succeed() {
    if (json_) {
        writer_.Field("status", uint64_t{0});
        Finish();
    }
    return 0;
}

void CommandReport::Finish() {
    writer_.EndObject();
    std::fputs(writer_.Text().c_str(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace cli
