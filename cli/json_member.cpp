#include "cli/json_member.h"

#include "cli/utf8_text.h"
#include "package/member_name.h"

namespace cli {

void WriteMember(JsonWriter& writer, const MemberFields& member) {
    const Utf8Text name = MemberNameToUtf8(member.storedName, member.flags);
    writer.BeginObject();
    writer.Field("name", name.text);
    writer.Field("name_escaped", !name.converted);
    writer.Field("method", uint64_t{member.method});
    writer.Field("compressed_size", uint64_t{member.compressedSize});
    writer.Field("uncompressed_size", uint64_t{member.uncompressedSize});
    writer.Field("crc32", uint64_t{member.crc32});
    writer.Field("directory", package::NamesDirectory(member.storedName.c_str()));
    writer.EndObject();
}

}  // namespace cli
