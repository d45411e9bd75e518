// Checks the resources linked into this program: the string tables and dialogs of every
// language the application ships, read straight from the resource data of each language
// (never through LoadString, whose language fallback would hide a missing translation).
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ktl_version.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace {

constexpr WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr WORD kChineseSimplified = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
constexpr WORD kChineseTaiwan = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);
constexpr WORD kChineseHongKong = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_HONGKONG);
constexpr WORD kChineseMacau = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_MACAU);
constexpr WORD kLanguages[] = {kEnglish, kChineseSimplified, kChineseTaiwan, kChineseHongKong,
                               kChineseMacau};
constexpr WORD kTranslations[] = {kChineseSimplified, kChineseTaiwan, kChineseHongKong,
                                  kChineseMacau};

// Every message number of message_ids.h.
constexpr UINT kAllMessages[] = {
    IDS_ABOUT_BOX,          IDS_PACKAGE_DAMAGED_CONTINUE, IDS_INPUT_SCRIPT,
    IDS_INPUT_PACKAGE,      IDS_PACKAGE_INVALID,          IDS_INSERT_SUCCESS,
    IDS_RECORDING_FINISHED, IDS_FILE_NOT_FOUND,           IDS_FILE_ACCESS_ERROR,
    IDS_NOT_A_PACKAGE,      IDS_INSERT_SCRIPT_WARNING,    IDS_INSERT_FAILED,
    IDS_PROCESSING,         IDS_ALREADY_INSTALLED,        IDS_APP_TITLE,
    IDS_SAME_NAME_EXISTS,   IDS_REPLACE_EXISTING,         IDS_FILTER_ALL_FILES,
    IDS_FILTER_SCRIPT,      IDS_FILTER_PACKAGE,           IDS_PICK_PACKAGE_TITLE,
    IDS_PICK_SCRIPT_TITLE,  IDS_PICK_OUTPUT_TITLE,        IDS_CLOSE_AFTER_INSERT,
    IDS_PATH_TOO_LONG,      IDS_PICKED_PATH_TOO_LONG,     IDS_CANNOT_START_INSTALLER,
    IDS_CANNOT_READ_FILE,   IDS_CANNOT_WRITE_FILE,        IDS_PATH_OUTSIDE_CODE_PAGE,
};

std::string LanguageName(WORD language) {
    char text[16];
    wsprintfA(text, "language %u", static_cast<unsigned>(language));
    return text;
}

// The raw bytes of one resource in exactly the language asked for.
std::optional<std::vector<unsigned char>> ResourceBytes(LPCSTR type, LPCSTR name, WORD language) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceExA(module, type, name, language);
    if (found == nullptr)
        return std::nullopt;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr)
        return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

// A string-table block holds 16 strings, each a WORD length followed by that many UTF-16
// units. Returns nullopt when the block is missing in this language or malformed.
std::optional<std::wstring> TableString(UINT id, WORD language) {
    auto block = ResourceBytes(RT_STRING, MAKEINTRESOURCEA(id / 16 + 1), language);
    if (!block)
        return std::nullopt;
    size_t at = 0;
    for (UINT slot = 0; slot < 16; ++slot) {
        if (at + 2 > block->size())
            return std::nullopt;
        WORD length;
        std::memcpy(&length, block->data() + at, 2);
        at += 2;
        if (at + size_t{length} * 2 > block->size())
            return std::nullopt;
        if (slot == id % 16) {
            std::wstring text(length, L'\0');
            std::memcpy(text.data(), block->data() + at, size_t{length} * 2);
            return text;
        }
        at += size_t{length} * 2;
    }
    return std::nullopt;
}

std::wstring MustGetString(UINT id, WORD language) {
    auto text = TableString(id, language);
    EXPECT_TRUE(text.has_value()) << "string " << id << " missing in " << LanguageName(language);
    return text.value_or(std::wstring());
}

int CountPercentS(const std::wstring& text) {
    int count = 0;
    for (size_t at = text.find(L"%s"); at != std::wstring::npos; at = text.find(L"%s", at + 2))
        ++count;
    return count;
}

// A sz_Or_Ord field: nothing, a 16-bit ordinal after 0xFFFF, or a zero-terminated name.
struct NameOrOrdinal {
    std::optional<WORD> ordinal;
    std::wstring name;
};

struct DialogItem {
    DWORD exStyle = 0;
    DWORD style = 0;
    DWORD id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal title;
};

struct Dialog {
    DWORD exStyle = 0;
    DWORD style = 0;
    std::wstring title;
    std::wstring font;
    std::vector<DialogItem> items;
};

// Reads a DLGTEMPLATEEX, failing on any field that runs past the end of the resource.
class TemplateReader {
  public:
    explicit TemplateReader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    size_t offset() const { return at_; }

    template <typename T>
    T Read() {
        T value{};
        if (at_ + sizeof(T) > bytes_.size()) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }

    std::wstring ReadString() {
        std::wstring text;
        for (;;) {
            WORD unit = Read<WORD>();
            if (!ok_ || unit == 0)
                return text;
            text.push_back(static_cast<wchar_t>(unit));
        }
    }

    NameOrOrdinal ReadNameOrOrdinal() {
        NameOrOrdinal field;
        WORD first = Read<WORD>();
        if (!ok_ || first == 0x0000)
            return field;
        if (first == 0xFFFF) {
            field.ordinal = Read<WORD>();
            return field;
        }
        field.name.push_back(static_cast<wchar_t>(first));
        field.name += ReadString();
        return field;
    }

    void AlignToDword() {
        at_ = (at_ + 3) & ~size_t{3};
        if (at_ > bytes_.size())
            ok_ = false;
    }

    void Skip(size_t count) {
        if (at_ + count > bytes_.size())
            ok_ = false;
        else
            at_ += count;
    }

  private:
    const std::vector<unsigned char>& bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

std::optional<Dialog> ParseDialog(const std::vector<unsigned char>& bytes) {
    TemplateReader reader(bytes);
    Dialog dialog;
    WORD version = reader.Read<WORD>();
    WORD signature = reader.Read<WORD>();
    if (!reader.ok() || version != 1 || signature != 0xFFFF)
        return std::nullopt;
    reader.Read<DWORD>();  // help id
    dialog.exStyle = reader.Read<DWORD>();
    dialog.style = reader.Read<DWORD>();
    WORD itemCount = reader.Read<WORD>();
    reader.Skip(4 * sizeof(short));  // x, y, cx, cy
    reader.ReadNameOrOrdinal();      // menu
    reader.ReadNameOrOrdinal();      // window class
    dialog.title = reader.ReadString();
    if (dialog.style & (DS_SETFONT | DS_SHELLFONT)) {
        reader.Read<WORD>();  // point size
        reader.Read<WORD>();  // weight
        reader.Read<BYTE>();  // italic
        reader.Read<BYTE>();  // character set
        dialog.font = reader.ReadString();
    }
    for (WORD i = 0; i < itemCount && reader.ok(); ++i) {
        reader.AlignToDword();
        DialogItem item;
        reader.Read<DWORD>();  // help id
        item.exStyle = reader.Read<DWORD>();
        item.style = reader.Read<DWORD>();
        reader.Skip(4 * sizeof(short));
        item.id = reader.Read<DWORD>();
        item.windowClass = reader.ReadNameOrOrdinal();
        item.title = reader.ReadNameOrOrdinal();
        WORD extra = reader.Read<WORD>();
        reader.Skip(extra);
        dialog.items.push_back(item);
    }
    if (!reader.ok() || dialog.items.size() != itemCount)
        return std::nullopt;
    return dialog;
}

std::optional<Dialog> LoadDialog(UINT id, WORD language) {
    auto bytes = ResourceBytes(RT_DIALOG, MAKEINTRESOURCEA(id), language);
    if (!bytes)
        return std::nullopt;
    return ParseDialog(*bytes);
}

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr DWORD kStatic = static_cast<DWORD>(-1);

bool IsButton(const DialogItem& item) {
    return item.windowClass.ordinal == kButtonClass;
}

std::vector<DWORD> ControlIds(const Dialog& dialog) {
    std::vector<DWORD> ids;
    for (const auto& item : dialog.items)
        ids.push_back(item.id);
    return ids;
}

TEST(Resources, EveryMessageExistsInEveryLanguage) {
    for (WORD language : kLanguages) {
        for (UINT id : kAllMessages) {
            auto text = TableString(id, language);
            ASSERT_TRUE(text.has_value())
                << "string " << id << " missing in " << LanguageName(language);
            EXPECT_GT(text->size(), 0u)
                << "string " << id << " empty in " << LanguageName(language);
        }
    }
}

TEST(Resources, ChineseTablesAreTranslated) {
    for (WORD language : kTranslations) {
        for (UINT id : kAllMessages) {
            if (id == IDS_APP_TITLE)
                continue;  // the product name may stay as it is
            EXPECT_NE(MustGetString(id, language), MustGetString(id, kEnglish))
                << "string " << id << " untranslated in " << LanguageName(language);
        }
    }
}

TEST(Resources, ProcessingNoticeStartsWithALineBreak) {
    for (WORD language : kLanguages) {
        std::wstring text = MustGetString(IDS_PROCESSING, language);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text[0], L'\n') << LanguageName(language);
        EXPECT_GT(text.size(), 1u) << LanguageName(language);
    }
}

TEST(Resources, AboutMenuItemKeepsItsAccelerator) {
    for (WORD language : kLanguages)
        EXPECT_NE(MustGetString(IDS_ABOUT_BOX, language).find(L"&A"), std::wstring::npos)
            << LanguageName(language);
}

TEST(Resources, PlaceholdersMatchTheEnglishTexts) {
    const std::pair<UINT, int> expected[] = {
        {IDS_FILE_NOT_FOUND, 1},    {IDS_FILE_ACCESS_ERROR, 2},      {IDS_NOT_A_PACKAGE, 1},
        {IDS_PATH_TOO_LONG, 1},     {IDS_CANNOT_START_INSTALLER, 2}, {IDS_CANNOT_READ_FILE, 2},
        {IDS_CANNOT_WRITE_FILE, 2}, {IDS_PATH_OUTSIDE_CODE_PAGE, 1},
    };
    for (const auto& [id, count] : expected) {
        EXPECT_EQ(CountPercentS(MustGetString(id, kEnglish)), count) << "string " << id;
        for (WORD language : kTranslations)
            EXPECT_EQ(CountPercentS(MustGetString(id, language)), count)
                << "string " << id << " in " << LanguageName(language);
    }
    // Other messages are shown as they are: a stray "%" would be taken as a format.
    for (WORD language : kLanguages) {
        for (UINT id : kAllMessages) {
            bool formatted = id == IDS_FILE_NOT_FOUND || id == IDS_FILE_ACCESS_ERROR ||
                             id == IDS_NOT_A_PACKAGE || id == IDS_PATH_TOO_LONG ||
                             id == IDS_REPLACE_EXISTING || id == IDS_CANNOT_START_INSTALLER ||
                             id == IDS_CANNOT_READ_FILE || id == IDS_CANNOT_WRITE_FILE ||
                             id == IDS_PATH_OUTSIDE_CODE_PAGE;
            if (!formatted) {
                EXPECT_EQ(MustGetString(id, language).find(L'%'), std::wstring::npos)
                    << "string " << id << " in " << LanguageName(language);
            }
        }
    }
}

TEST(Resources, ReplaceQuestionNamesThePathOnlyInChinese) {
    EXPECT_EQ(CountPercentS(MustGetString(IDS_REPLACE_EXISTING, kEnglish)), 0);
    EXPECT_EQ(MustGetString(IDS_REPLACE_EXISTING, kEnglish).find(L'%'), std::wstring::npos);
    for (WORD language : kTranslations)
        EXPECT_EQ(CountPercentS(MustGetString(IDS_REPLACE_EXISTING, language)), 1)
            << LanguageName(language);
}

TEST(Resources, MainDialogHasTheSameControlsInEveryLanguage) {
    const std::vector<DWORD> tabOrder = {
        kStatic,           kStatic,    kStatic,           IDC_PACKAGE,       IDC_BROWSE_PACKAGE,
        kStatic,           IDC_SCRIPT, IDC_BROWSE_SCRIPT, kStatic,           IDC_OUTPUT,
        IDC_BROWSE_OUTPUT, IDC_SILENT, IDC_RECORD,        IDC_INSERT_SCRIPT, IDC_INSERT_FILE,
    };
    auto english = LoadDialog(IDD_MAIN, kEnglish);
    ASSERT_TRUE(english.has_value());
    EXPECT_EQ(ControlIds(*english), tabOrder);
    for (WORD language : kLanguages) {
        auto dialog = LoadDialog(IDD_MAIN, language);
        ASSERT_TRUE(dialog.has_value()) << LanguageName(language);
        EXPECT_EQ(ControlIds(*dialog), tabOrder) << LanguageName(language);
        EXPECT_FALSE(dialog->title.empty()) << LanguageName(language);
        EXPECT_FALSE(dialog->font.empty()) << LanguageName(language);
        EXPECT_EQ(dialog->style, english->style) << LanguageName(language);
        EXPECT_EQ(dialog->exStyle, english->exStyle) << LanguageName(language);
        EXPECT_TRUE(dialog->exStyle & WS_EX_APPWINDOW) << LanguageName(language);
        ASSERT_EQ(dialog->items.size(), english->items.size());
        for (size_t i = 0; i < dialog->items.size(); ++i) {
            const auto& item = dialog->items[i];
            const auto& reference = english->items[i];
            EXPECT_EQ(item.windowClass.ordinal, reference.windowClass.ordinal)
                << "control " << i << " in " << LanguageName(language);
            EXPECT_EQ(item.style, reference.style)
                << "control " << i << " in " << LanguageName(language);
            EXPECT_EQ(item.exStyle, reference.exStyle)
                << "control " << i << " in " << LanguageName(language);
        }
    }
}

TEST(Resources, MainDialogControlKinds) {
    for (WORD language : kLanguages) {
        auto dialog = LoadDialog(IDD_MAIN, language);
        ASSERT_TRUE(dialog.has_value()) << LanguageName(language);
        for (const auto& item : dialog->items) {
            std::optional<WORD> expected;
            switch (item.id) {
                case IDC_PACKAGE:
                case IDC_SCRIPT:
                case IDC_OUTPUT:
                    expected = kEditClass;
                    EXPECT_TRUE(item.style & ES_AUTOHSCROLL) << item.id;
                    EXPECT_TRUE(item.style & WS_TABSTOP) << item.id;
                    break;
                case kStatic:
                    expected = kStaticClass;
                    EXPECT_FALSE(item.title.name.empty()) << LanguageName(language);
                    break;
                case IDC_SILENT:
                    expected = kButtonClass;
                    EXPECT_EQ(item.style & BS_TYPEMASK, static_cast<DWORD>(BS_AUTOCHECKBOX));
                    EXPECT_TRUE(item.style & WS_TABSTOP);
                    break;
                default:
                    expected = kButtonClass;
                    EXPECT_EQ(item.style & BS_TYPEMASK, static_cast<DWORD>(BS_PUSHBUTTON))
                        << item.id;
                    break;
            }
            EXPECT_EQ(item.windowClass.ordinal, expected)
                << "control " << item.id << " in " << LanguageName(language);
        }
    }
}

TEST(Resources, OnlyTheScriptInsertButtonStartsHidden) {
    for (WORD language : kLanguages) {
        auto dialog = LoadDialog(IDD_MAIN, language);
        ASSERT_TRUE(dialog.has_value()) << LanguageName(language);
        int buttons = 0;
        bool sawScriptButton = false;
        for (const auto& item : dialog->items) {
            if (!IsButton(item))
                continue;
            ++buttons;
            if (item.id == IDC_INSERT_SCRIPT) {
                sawScriptButton = true;
                EXPECT_FALSE(item.style & WS_VISIBLE) << LanguageName(language);
                EXPECT_TRUE(item.style & WS_DISABLED) << LanguageName(language);
            } else {
                EXPECT_TRUE(item.style & WS_VISIBLE)
                    << "button " << item.id << " in " << LanguageName(language);
                EXPECT_FALSE(item.style & WS_DISABLED)
                    << "button " << item.id << " in " << LanguageName(language);
            }
            EXPECT_NE(item.id, static_cast<DWORD>(IDOK));
            EXPECT_NE(item.id, static_cast<DWORD>(IDCANCEL));
        }
        EXPECT_TRUE(sawScriptButton) << LanguageName(language);
        EXPECT_EQ(buttons, 7) << LanguageName(language);
    }
}

TEST(Resources, AboutBoxHasTheSameControlsInEveryLanguage) {
    auto english = LoadDialog(IDD_ABOUT, kEnglish);
    ASSERT_TRUE(english.has_value());
    const std::vector<DWORD> expected = {kStatic, kStatic, kStatic, IDOK};
    EXPECT_EQ(ControlIds(*english), expected);
    for (WORD language : kLanguages) {
        auto dialog = LoadDialog(IDD_ABOUT, language);
        ASSERT_TRUE(dialog.has_value()) << LanguageName(language);
        EXPECT_EQ(ControlIds(*dialog), ControlIds(*english)) << LanguageName(language);
        EXPECT_FALSE(dialog->title.empty()) << LanguageName(language);
        ASSERT_FALSE(dialog->items.empty());
        // The first control shows the application icon.
        const auto& icon = dialog->items.front();
        EXPECT_EQ(icon.windowClass.ordinal, kStaticClass);
        EXPECT_EQ(icon.style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
        EXPECT_EQ(icon.title.ordinal, IDI_MAIN) << LanguageName(language);
        const auto& ok = dialog->items.back();
        EXPECT_TRUE(IsButton(ok));
        EXPECT_EQ(ok.style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
        // The line after the icon names the version the build was made as.
        const std::wstring shortVersion(KTL_VERSION_SHORT,
                                        KTL_VERSION_SHORT + std::strlen(KTL_VERSION_SHORT));
        EXPECT_NE(
            dialog->items[1].title.name.find(
                L"KitTailor " + (language == kEnglish ? L"Version " + shortVersion : shortVersion)),
            std::wstring::npos)
            << LanguageName(language);
    }
}

TEST(Resources, DialogsUseTheSameFontAsEachOtherPerLanguage) {
    for (WORD language : kLanguages) {
        auto main = LoadDialog(IDD_MAIN, language);
        auto about = LoadDialog(IDD_ABOUT, language);
        ASSERT_TRUE(main.has_value() && about.has_value()) << LanguageName(language);
        EXPECT_EQ(main->font, about->font) << LanguageName(language);
    }
    // The Chinese templates name a face that carries Chinese characters.
    auto english = LoadDialog(IDD_MAIN, kEnglish);
    ASSERT_TRUE(english.has_value());
    for (WORD language : kTranslations) {
        auto dialog = LoadDialog(IDD_MAIN, language);
        ASSERT_TRUE(dialog.has_value());
        EXPECT_NE(dialog->font, english->font) << LanguageName(language);
    }
}

// The images of icon IDI_MAIN as its group directory lists them: (width, bits per pixel),
// a width of 256 being written as 0.
std::vector<std::pair<int, int>> IconImages() {
    std::vector<std::pair<int, int>> images;
    auto directory = ResourceBytes(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_MAIN), LANG_NEUTRAL);
    if (!directory || directory->size() < 6) {
        return images;
    }
    WORD count;
    std::memcpy(&count, directory->data() + 4, 2);
    constexpr size_t kEntrySize = 14;  // width, height, colours, reserved, planes, bits, size, id
    for (size_t i = 0; i < count && 6 + (i + 1) * kEntrySize <= directory->size(); ++i) {
        const unsigned char* entry = directory->data() + 6 + i * kEntrySize;
        WORD bits;
        std::memcpy(&bits, entry + 6, 2);
        images.emplace_back(entry[0] == 0 ? 256 : entry[0], bits);
    }
    return images;
}

TEST(Resources, IconHoldsSmallPaletteAndLargeTrueColourImages) {
    std::vector<std::pair<int, int>> images = IconImages();
    std::sort(images.begin(), images.end());
    const std::vector<std::pair<int, int>> expected = {{16, 8}, {32, 8}, {48, 32}, {256, 32}};
    EXPECT_EQ(images, expected);
}

TEST(Resources, ApplicationIconLoads) {
    HMODULE module = GetModuleHandleA(nullptr);
    for (int size : {16, 32, 48, 256}) {
        HANDLE icon = LoadImageA(module, MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON, size, size, 0);
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &info));
        BITMAP mask{};
        ASSERT_NE(GetObjectA(info.hbmMask, sizeof(mask), &mask), 0);
        EXPECT_EQ(mask.bmWidth, size);
        if (info.hbmColor)
            DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(static_cast<HICON>(icon));
    }
}

// Where a program of the build tree lies, found from this test program's own folder.
std::string ProgramPath(const char* programName) {
    char self[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    if (length == 0 || length >= sizeof(self)) {
        return std::string();
    }
    std::string path(self);
    path =
        path.substr(0, path.find_last_of('\\') + 1) + KTL_PROGRAMS_FROM_TESTS + "\\" + programName;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

// The application manifest of a program in the build tree, read by the system's own loader
// as resource 1 of type RT_MANIFEST; empty when the file cannot be loaded or has none.
std::string ProgramManifest(const char* programName) {
    const std::string path = ProgramPath(programName);
    HMODULE program = LoadLibraryExA(path.c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (program == nullptr) {
        ADD_FAILURE() << "cannot load " << path << ": error " << GetLastError();
        return std::string();
    }
    std::string text;
    HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found ? LoadResource(program, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data != nullptr) {
        text.assign(static_cast<const char*>(data), SizeofResource(program, found));
    }
    FreeLibrary(program);
    return text;
}

// The value of `attribute` in every `element` tag of an XML text, in order.
std::vector<std::string> AttributeValues(const std::string& xml, const std::string& element,
                                         const std::string& attribute) {
    std::vector<std::string> values;
    for (size_t at = xml.find("<" + element); at != std::string::npos;
         at = xml.find("<" + element, at + 1)) {
        size_t end = xml.find('>', at);
        std::string tag = xml.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t name = tag.find(" " + attribute + "=\"");
        if (name == std::string::npos) {
            values.push_back("<missing>");
            continue;
        }
        size_t start = name + attribute.size() + 3;
        values.push_back(tag.substr(start, tag.find('"', start) - start));
    }
    return values;
}

// The text inside every `element` of an XML text, in order.
std::vector<std::string> ElementTexts(const std::string& xml, const std::string& element) {
    std::vector<std::string> texts;
    for (size_t at = xml.find("<" + element); at != std::string::npos;
         at = xml.find("<" + element, at + 1)) {
        char after = at + 1 + element.size() < xml.size() ? xml[at + 1 + element.size()] : '\0';
        if (after != '>' && after != ' ') {
            continue;  // a longer name that begins alike
        }
        size_t start = xml.find('>', at);
        size_t end = xml.find("</" + element + ">", at);
        if (start == std::string::npos || end == std::string::npos || end < start) {
            texts.push_back("<unclosed>");
            continue;
        }
        texts.push_back(xml.substr(start + 1, end - start - 1));
    }
    return texts;
}

TEST(Resources, EveryShippedProgramCarriesItsManifest) {
    struct Program {
        const char* name;
        const char* level;
    };
    // The dialog writes into the Windows directory and the stand-in installs per machine; ktl
    // runs as invoked, which also keeps Windows from virtualising its writes.
    for (const Program& program :
         {Program{KTL_KITTAILOR_EXE, "requireAdministrator"}, Program{KTL_KTL_EXE, "asInvoker"},
          Program{KTL_SETUP_EXE, "requireAdministrator"}}) {
        std::string manifest = ProgramManifest(program.name);
        ASSERT_FALSE(manifest.empty()) << program.name << " has no manifest";
        EXPECT_EQ(manifest.rfind("<?xml", 0), 0u) << program.name;
        EXPECT_EQ(AttributeValues(manifest, "requestedExecutionLevel", "level"),
                  std::vector<std::string>{program.level})
            << program.name;
        EXPECT_EQ(AttributeValues(manifest, "requestedExecutionLevel", "uiAccess"),
                  std::vector<std::string>{"false"})
            << program.name;
        // Only the dialog is drawn: it scales with the DPI setting instead of being stretched.
        const bool drawsWindows = std::string(program.name) == KTL_KITTAILOR_EXE;
        EXPECT_EQ(ElementTexts(manifest, "dpiAware"),
                  drawsWindows ? std::vector<std::string>{"true"} : std::vector<std::string>{})
            << program.name;
        std::vector<std::string> systems = AttributeValues(manifest, "supportedOS", "Id");
        // Windows 10 and 11 look for their own entry before they drop the compatibility
        // shims.
        EXPECT_NE(
            std::find(systems.begin(), systems.end(), "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
            systems.end())
            << program.name;
    }
}

// One string of a program's version block, read as Windows Explorer reads it.
std::string VersionString(const std::vector<char>& block, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        length == 0) {
        return "<missing>";
    }
    return std::string(value, strnlen(value, length));
}

TEST(Resources, EveryShippedProgramCarriesTheBuildsVersionAndMachine) {
#ifdef _WIN64
    const std::vector<std::string> machine{"amd64"};
#else
    const std::vector<std::string> machine{"x86"};
#endif
    const DWORD major = (KTL_VERSION_MAJOR << 16) | KTL_VERSION_MINOR;
    const DWORD minor = (KTL_VERSION_PATCH << 16) | KTL_VERSION_TWEAK;
    for (const char* name : {KTL_KITTAILOR_EXE, KTL_KTL_EXE}) {
        const std::string path = ProgramPath(name);
        DWORD ignored = 0;
        std::vector<char> block(GetFileVersionInfoSizeA(path.c_str(), &ignored));
        ASSERT_FALSE(block.empty()) << name << ": error " << GetLastError();
        ASSERT_TRUE(
            GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwFileVersionMS, major) << name;
        EXPECT_EQ(fixed->dwFileVersionLS, minor) << name;
        EXPECT_EQ(fixed->dwProductVersionMS, major) << name;
        EXPECT_EQ(fixed->dwProductVersionLS, minor) << name;
        EXPECT_EQ(VersionString(block, "FileVersion"), KTL_VERSION_QUAD_TEXT) << name;
        EXPECT_EQ(VersionString(block, "ProductVersion"), KTL_VERSION_QUAD_TEXT) << name;

        // The program's own identity in its manifest comes first; the dialog's names the
        // common controls after it.
        const std::string manifest = ProgramManifest(name);
        const std::vector<std::string> versions =
            AttributeValues(manifest, "assemblyIdentity", "version");
        ASSERT_FALSE(versions.empty()) << name;
        EXPECT_EQ(versions.front(), KTL_VERSION_QUAD_TEXT) << name;
        const std::vector<std::string> machines =
            AttributeValues(manifest, "assemblyIdentity", "processorArchitecture");
        EXPECT_EQ(std::vector<std::string>(machines.begin(), machines.begin() + 1), machine)
            << name;
    }
}

}  // namespace

#endif  // _WIN32
