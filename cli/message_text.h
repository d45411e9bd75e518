#pragma once

namespace cli {

// The English text of a string-table message; empty for an unknown number.
const char* EnglishMessage(int messageId);

}  // namespace cli
