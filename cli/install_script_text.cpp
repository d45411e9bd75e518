#include "cli/install_script_text.h"

#include <cstdlib>

namespace cli {
namespace {

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool SameName(const std::string& a, const char* b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

}  // namespace

std::optional<std::string> ReadSettingsValue(const std::string& text, const char* section,
                                             const char* key) {
    // A script saved by a Unicode-aware editor may begin with the UTF-8 byte order mark.
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    bool inSection = false;
    bool sectionSeen = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        line = Trimmed(line);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (sectionSeen) {
                return std::nullopt;  // only the first section of that name is read
            }
            const size_t close = line.find(']');
            inSection =
                close != std::string::npos && SameName(Trimmed(line.substr(1, close - 1)), section);
            sectionSeen = inSection;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string::npos ||
            !SameName(Trimmed(line.substr(0, equals)), key)) {
            continue;
        }
        std::string value = Trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
            value.back() == value[0]) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return std::nullopt;
}

bool AsksForSilence(const std::optional<std::string>& value) {
    return value.has_value() && std::strtol(value->c_str(), nullptr, 10) != 0;
}

}  // namespace cli
