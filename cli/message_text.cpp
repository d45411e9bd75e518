#include "cli/message_text.h"

#include "res/message_ids.h"

namespace cli {

const char* EnglishMessage(int messageId) {
    switch (messageId) {
#define KTL_MESSAGE(id, text) \
    case id:                  \
        return text;
#include "res/messages_en.inc"
#undef KTL_MESSAGE
    }
    return "";
}

}  // namespace cli
