// The XML model: parse, the lookups, and serialising what was parsed.
#include <vector>

#include "foundation/xml.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    if (size > (1u << 20)) return 0;
    std::vector<char> text(data, data + size);
    XmlNode* doc = Xml_Parse(text.data(), static_cast<uint32_t>(size));
    if (doc == nullptr) return 0;
    XmlNode* child = Xml_FindChild(doc, "Disk");
    TextView value;
    if (child != nullptr) Xml_GetText(child, &value);
    Xml_GetChildText(doc, "Disk", &value);
    // What was parsed serialises into text that parses again.
    std::vector<uint8_t> out(size * 8 + 4096);
    TextBuffer buffer;
    TextBuffer_Init(&buffer, out.data(), 0, static_cast<uint32_t>(out.size()));
    TextView lineBreak, indent;
    Text_FromCStringUtf8(&lineBreak, "\r\n");
    Text_FromCStringUtf8(&indent, "\t");
    if (Xml_Serialize(doc, lineBreak, indent, &buffer)) {
        XmlNode* again = Xml_Parse(reinterpret_cast<const char*>(out.data()), buffer.length);
        FUZZ_CHECK(again != nullptr);
        Xml_FreeNode(again);
    }
    Xml_FreeNode(doc);
    return 0;
}
