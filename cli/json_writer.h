// One JSON value built up as text, for ktl's --json output. Strings go in as UTF-8 (utf8_text.h
// makes them so); whatever they hold, the text that comes out is valid JSON, and ASCII only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

class JsonWriter {
  public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // Inside an object: the key of the value that follows.
    void Key(const char* key);

    void String(const std::string& utf8);
    void Number(uint64_t value);
    void Bool(bool value);
    void Null();

    // A key and its value in one.
    void Field(const char* key, const std::string& utf8) {
        Key(key);
        String(utf8);
    }
    void Field(const char* key, uint64_t value) {
        Key(key);
        Number(value);
    }
    void Field(const char* key, bool value) {
        Key(key);
        Bool(value);
    }
    void Field(const char* key, const char*) = delete;  // say which encoding it is in

    const std::string& Text() const { return text_; }

  private:
    void BeforeValue();
    void Open(char bracket);
    void Close(char bracket);
    void AppendEscaped(uint32_t code);

    std::string text_;
    std::vector<bool> empty_;  // for each open object or array: nothing in it yet
    bool afterKey_ = false;
};

}  // namespace cli
