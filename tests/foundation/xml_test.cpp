#include "foundation/xml.h"
#include "foundation/platform.h"
#include "support/test_support.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

TextView ViewOf(const std::string& s)
{
    TextView v;
    v.data = (const uint8_t*)s.data();
    v.length = (uint32_t)s.size();
    return v;
}

TextView ViewOf(const char* literal)
{
    TextView v;
    v.data = (const uint8_t*)literal;
    v.length = (uint32_t)std::strlen(literal);
    return v;
}

std::string Str(TextView v) { return std::string((const char*)v.data, v.length); }

// The tree points into the text, so only texts that outlive it are taken.
XmlNode* Parse(const std::string& text) { return Xml_Parse(text.data(), (uint32_t)text.size()); }
XmlNode* Parse(std::string&&) = delete;
XmlNode* Parse(const char* literal) { return Xml_Parse(literal, (uint32_t)std::strlen(literal)); }

XmlNode* ChildAt(const XmlNode* n, uint32_t i) { return (XmlNode*)PtrArray_Get(&n->children, i); }

XmlAttribute* AttributeAt(const XmlNode* n, uint32_t i)
{
    return (XmlAttribute*)PtrArray_Get(&n->attributes, i);
}

std::string Serialize(const XmlNode* doc, const std::string& lineBreak = "\n",
                      const std::string& indent = "  ")
{
    std::vector<uint8_t> storage(1 << 20);
    TextBuffer b;
    TextBuffer_Init(&b, storage.data(), 0, (uint32_t)storage.size());
    EXPECT_TRUE(Xml_Serialize(doc, ViewOf(lineBreak), ViewOf(indent), &b));
    return std::string((const char*)storage.data(), b.length);
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes) {
        h.push_back(digits[c >> 4]);
        h.push_back(digits[c & 15]);
    }
    return h;
}

bool AllSpace(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

// A canonical listing of the elements below a node: "E depth name", "A name value" and
// "T text" (all texts of the element joined, when not only white space), names and texts in hex.
// The same listing is produced by the python side from xml.etree.
void Dump(const XmlNode* e, int depth, std::string* out)
{
    *out += "E " + std::to_string(depth) + " " + Hex(Str(e->name)) + "\n";
    for (uint32_t i = 0; i < e->attributes.count; ++i) {
        const XmlAttribute* a = AttributeAt(e, i);
        *out += "A " + Hex(Str(a->name)) + " " + Hex(Str(a->value)) + "\n";
    }
    std::string text;
    for (uint32_t i = 0; i < e->children.count; ++i)
        if (ChildAt(e, i)->isText) text += Str(ChildAt(e, i)->text);
    if (!AllSpace(text)) *out += "T " + Hex(text) + "\n";
    for (uint32_t i = 0; i < e->children.count; ++i)
        if (!ChildAt(e, i)->isText) Dump(ChildAt(e, i), depth + 1, out);
}

std::string DumpDocument(const XmlNode* doc)
{
    std::string out;
    for (uint32_t i = 0; i < doc->children.count; ++i)
        if (!ChildAt(doc, i)->isText) Dump(ChildAt(doc, i), 0, &out);
    return out;
}

const char kPythonDump[] = R"PY(
import sys, xml.etree.ElementTree as ET
def h(s): return s.encode('utf-8').hex()
def dump(e, d, out):
    out.append('E %d %s' % (d, h(e.tag)))
    for k, v in e.attrib.items(): out.append('A %s %s' % (h(k), h(v)))
    t = (e.text or '') + ''.join(c.tail or '' for c in e)
    if t.strip(' \t\r\n') != '': out.append('T ' + h(t))
    for c in e: dump(c, d + 1, out)
def dump_file(path):
    out = []
    dump(ET.parse(path).getroot(), 0, out)
    return ''.join(l + '\n' for l in out)
)PY";

// Runs python with the dump helpers and a main part; answers its standard output.
std::string RunPython(const TempDir& dir, const std::string& main)
{
    WriteText(dir.file("run.py"), std::string(kPythonDump) + main);
    std::string out;
    EXPECT_EQ(RunCommand("python3 " + Quote(dir.file("run.py")), &out), 0);
    return out;
}

const char kDescriptor[] = R"XML(<?xml version='1.0' encoding='UTF-8'?>
<!-- written by hand in the layout of a bundle descriptor -->
<Parallels_disk_image Version="1.0">
    <Disk_Parameters>
        <Disk_size>134217728</Disk_size>
        <Cylinders>133152</Cylinders>
        <PhysicalSectorSize>512</PhysicalSectorSize>
        <Heads>16</Heads>
        <Sectors>63</Sectors>
        <Padding>0</Padding>
        <Encryption>
            <Engine>{00000000-0000-0000-0000-000000000000}</Engine>
            <Data></Data>
        </Encryption>
        <UID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</UID>
        <Name>disk &amp; &lt;data&gt;</Name>
        <Miscellaneous>
            <CompatLevel>level2</CompatLevel>
            <Bootable>1</Bootable>
            <SuspendState>0</SuspendState>
        </Miscellaneous>
    </Disk_Parameters>
    <StorageData>
        <Storage>
            <Start>0</Start>
            <End>131072</End>
            <Blocksize>2048</Blocksize>
            <Image>
                <GUID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</GUID>
                <Type>Compressed</Type>
                <File>harddisk.hdd.0.{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds</File>
            </Image>
        </Storage>
        <Storage>
            <Start>131072</Start>
            <End>262144</End>
            <Blocksize>2048</Blocksize>
            <Image>
                <GUID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</GUID>
                <Type>Plain</Type>
                <File>harddisk.hdd.1.{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds</File>
            </Image>
        </Storage>
    </StorageData>
    <Snapshots>
        <TopGUID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</TopGUID>
        <Shot>
            <GUID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</GUID>
            <ParentGUID>{00000000-0000-0000-0000-000000000000}</ParentGUID>
        </Shot>
    </Snapshots>
</Parallels_disk_image>
)XML";

}  // namespace

TEST(XmlParse, RealisticDescriptorIsParsedAndQueried)
{
    const std::string text = kDescriptor;
    XmlNode* doc = Parse(text);
    ASSERT_NE(doc, nullptr);
    ASSERT_EQ(doc->children.count, 1u);  // the declaration and the comment leave no node
    const XmlNode* root = ChildAt(doc, 0);
    EXPECT_TRUE(Xml_NameIs(root, "Parallels_disk_image"));
    EXPECT_FALSE(Xml_NameIs(root, "parallels_disk_image"));
    ASSERT_EQ(root->attributes.count, 1u);
    EXPECT_EQ(Str(AttributeAt(root, 0)->value), "1.0");

    const XmlNode* params = Xml_FindChild(root, "Disk_Parameters");
    ASSERT_NE(params, nullptr);
    TextView v;
    ASSERT_TRUE(Xml_GetChildText(params, "Disk_size", &v));
    EXPECT_EQ(Str(v), "134217728");
    ASSERT_TRUE(Xml_GetChildText(params, "Name", &v));
    EXPECT_EQ(Str(v), "disk & <data>");
    EXPECT_FALSE(Xml_GetChildText(params, "Miscellaneous", &v));  // element children only
    EXPECT_FALSE(Xml_GetChildText(params, "Missing", &v));
    EXPECT_FALSE(Xml_GetChildText(Xml_FindChild(params, "Encryption"), "Data", &v));  // empty
    ASSERT_TRUE(Xml_GetChildText(Xml_FindChild(params, "Miscellaneous"), "CompatLevel", &v));
    EXPECT_EQ(Str(v), "level2");

    const XmlNode* storageData = Xml_FindChild(root, "StorageData");
    ASSERT_NE(storageData, nullptr);
    ASSERT_EQ(storageData->children.count, 2u);
    std::vector<std::string> files, ends;
    for (uint32_t i = 0; i < storageData->children.count; ++i) {
        const XmlNode* storage = ChildAt(storageData, i);
        ASSERT_TRUE(Xml_NameIs(storage, "Storage"));
        ASSERT_TRUE(Xml_GetChildText(storage, "End", &v));
        ends.push_back(Str(v));
        ASSERT_TRUE(Xml_GetChildText(Xml_FindChild(storage, "Image"), "File", &v));
        files.push_back(Str(v));
    }
    EXPECT_EQ(ends, (std::vector<std::string>{"131072", "262144"}));
    EXPECT_EQ(files[1], "harddisk.hdd.1.{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds");
    ASSERT_TRUE(Xml_GetChildText(Xml_FindChild(Xml_FindChild(root, "Snapshots"), "Shot"),
                                 "ParentGUID", &v));
    EXPECT_EQ(Str(v), "{00000000-0000-0000-0000-000000000000}");

    // Views without entities point into the source text; decoded ones do not.
    ASSERT_TRUE(Xml_GetChildText(params, "Heads", &v));
    EXPECT_TRUE(v.data >= (const uint8_t*)text.data() &&
                v.data < (const uint8_t*)text.data() + text.size());

    // python reads the same tree.
    TempDir dir;
    WriteText(dir.file("d.xml"), text);
    EXPECT_EQ(DumpDocument(doc),
              RunPython(dir, "sys.stdout.write(dump_file(" + Quote(dir.file("d.xml")) + "))\n"));
    Xml_FreeNode(doc);
}

// Every truncation of the descriptor before the root's end tag fails; the whole text parses.
TEST(XmlParse, TruncatedDescriptorFails)
{
    const std::string text = kDescriptor;
    const size_t end =
        text.rfind("</Parallels_disk_image>") + std::strlen("</Parallels_disk_image>");
    const size_t rootStart = text.find("<Parallels_disk_image");
    for (size_t cut = 0; cut < end; ++cut) {
        XmlNode* doc = Xml_Parse(text.data(), (uint32_t)cut);
        if (cut <= rootStart && doc != nullptr) {
            // Only declaration and comment: a document without elements.
            EXPECT_EQ(doc->children.count, 0u) << "cut at " << cut;
        } else {
            EXPECT_EQ(doc, nullptr) << "cut at " << cut;
        }
        Xml_FreeNode(doc);
    }
    XmlNode* doc = Xml_Parse(text.data(), (uint32_t)end);
    EXPECT_NE(doc, nullptr);
    Xml_FreeNode(doc);
}

TEST(XmlParse, MalformedDocumentsFailCleanly)
{
    const std::vector<std::string> bad = {
        "<a></b>",
        "<a><b></a></b>",
        "<a>",
        "<a><b/>",
        "<a",
        "<a b",
        "<a b=",
        "<a b=\"1",
        "<a b=\"1\"",
        "<a b=\"1\"/",
        "<a/",
        "</>",
        "<a></>",
        "</a>",
        "<a/></a>",
        "<a></a></a>",
        "x</>",
        "<a b=1/>",
        "<a b/>",
        "<a =\"1\"/>",
        "< a/>",
        "<a b='x\"/>",
        "<a b=\"<\"/>",
        "<a>x<</a>",
        "<!a>",
        "<!-- open",
        "<a><!-- x </a>",
        "<?xml",
        "<?xml version='1.0'",
        "<?>",
        "<a>&unknown;</a>",
        "<a>&#65;</a>",
        "<a>&amp</a>",
        "<a>&</a>",
        "<a b=\"&x;\"/>",
        "<a>\xff</a>",
        "<a>\xc0\xaf</a>",
        "<a\xed\xa0\x80/>",
        "<a></a\n",
        "<a>x</a b>",
        std::string("<a>\0</a", 7),
        "<",
        "<a></a><",
    };
    for (const std::string& text : bad) {
        XmlNode* doc = Parse(text);
        EXPECT_EQ(doc, nullptr) << text;
        Xml_FreeNode(doc);
    }
    // Well-formed neighbours of the cases above still parse.
    const std::vector<std::string> good = {
        "",
        "  \n",
        "<a/>",
        "<a></a>",
        "<a ></a >",
        "<a b = '1' c=\"2\"  />",
        "<a>x &amp; y</a>",
        "<?xml version=\"1.0\"?><a/>",
        "<!-- c --><a><!--x--></a>",
        "<a>1 > 0 = \"yes\"</a>",
        "<a/><b/>",
        "<ä>ü</ä>",
    };
    for (const std::string& text : good) {
        XmlNode* doc = Parse(text);
        EXPECT_NE(doc, nullptr) << text;
        Xml_FreeNode(doc);
    }
}

TEST(XmlParse, NestingIsCappedAtTheLimit)
{
    auto nested = [](uint32_t depth, bool closed) {
        std::string s;
        for (uint32_t i = 0; i < depth; ++i) s += "<e>";
        s += "x";
        if (closed)
            for (uint32_t i = 0; i < depth; ++i) s += "</e>";
        return s;
    };
    const std::string deepest = nested(XML_MAX_DEPTH, true);
    XmlNode* doc = Parse(deepest);
    ASSERT_NE(doc, nullptr);
    // The deepest tree the parser builds serialises and frees.
    EXPECT_EQ(Serialize(doc, "", ""), deepest);
    Xml_FreeNode(doc);

    for (uint32_t depth : {XML_MAX_DEPTH + 1, 10000u, 300000u}) {
        for (bool closed : {true, false}) {
            const std::string text = nested(depth, closed);
            EXPECT_EQ(Parse(text), nullptr) << depth;
        }
    }
}

TEST(XmlParse, AllFivePredefinedEntitiesInTextAndAttributes)
{
    const std::string text =
        "<a q=\"&lt;&gt;&amp;&apos;&quot;\" r='&apos;'>&lt;&gt;&amp;&apos;&quot; tail</a>";
    XmlNode* doc = Parse(text);
    ASSERT_NE(doc, nullptr);
    const XmlNode* a = ChildAt(doc, 0);
    TextView v;
    ASSERT_TRUE(Xml_GetText(a, &v));
    EXPECT_EQ(Str(v), "<>&'\" tail");
    EXPECT_EQ(Str(AttributeAt(a, 0)->value), "<>&'\"");
    EXPECT_EQ(Str(AttributeAt(a, 1)->value), "'");
    Xml_FreeNode(doc);
}

TEST(XmlParse, TextNodesAndLookups)
{
    const std::string text = "<r>  <a>x<b/>y</a>\n<c/><a>second</a> </r>";
    XmlNode* doc = Parse(text);
    ASSERT_NE(doc, nullptr);
    const XmlNode* r = ChildAt(doc, 0);
    ASSERT_EQ(r->children.count, 3u);  // white-space-only text is dropped
    const XmlNode* a = Xml_FindChild(r, "a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->children.count, 3u);
    EXPECT_TRUE(ChildAt(a, 0)->isText);
    EXPECT_EQ(Str(ChildAt(a, 0)->text), "x");
    EXPECT_EQ(ChildAt(a, 1)->parent, a);
    EXPECT_FALSE(Xml_NameIs(ChildAt(a, 0), ""));  // text nodes have no name
    TextView v;
    EXPECT_FALSE(Xml_GetText(a, &v));  // mixed content
    EXPECT_FALSE(Xml_GetText(Xml_FindChild(r, "c"), &v));
    EXPECT_EQ(Xml_FindChild(r, "b"), nullptr);  // only direct children
    Xml_FreeNode(doc);
}

TEST(XmlSerialize, ExactLayout)
{
    XmlNode* doc = Xml_NewDocument();
    ASSERT_NE(doc, nullptr);
    XmlNode* root = Xml_AddElement(doc, "root");
    ASSERT_NE(root, nullptr);
    ASSERT_TRUE(Xml_AddAttribute(root, "version", "1.0"));
    ASSERT_NE(Xml_AddElement(root, "empty"), nullptr);
    XmlNode* withAttrs = Xml_AddElement(root, "attrs");
    ASSERT_TRUE(Xml_AddAttribute(withAttrs, "a", "x&\"y'<>"));
    ASSERT_TRUE(Xml_AddAttribute(withAttrs, "b", ""));
    ASSERT_NE(Xml_AddTextElement(root, "text", "a & b < c > d \" '"), nullptr);
    XmlNode* nested = Xml_AddElement(root, "nested");
    XmlNode* leaf = Xml_AddTextElement(nested, "leaf", "1");
    ASSERT_TRUE(Xml_AddAttribute(leaf, "k", "v"));
    ASSERT_NE(Xml_AddElement(doc, "second"), nullptr);

    EXPECT_EQ(Serialize(doc),
              "<root version=\"1.0\" >\n"
              "  <empty/>\n"
              "  <attrs a=\"x&amp;&quot;y'&lt;&gt;\" b=\"\" />\n"
              "  <text>a &amp; b &lt; c &gt; d \" '</text>\n"
              "  <nested>\n"
              "    <leaf k=\"v\" >1</leaf>\n"
              "  </nested>\n"
              "</root>\n"
              "<second/>\n");
    // The caller's line break and indentation, and a node at a chosen depth.
    std::vector<uint8_t> storage(256);
    TextBuffer b;
    TextBuffer_Init(&b, storage.data(), 0, (uint32_t)storage.size());
    ASSERT_TRUE(Xml_SerializeNode(nested, 2, ViewOf("\r\n"), ViewOf("\t"), &b));
    EXPECT_EQ(std::string((const char*)storage.data(), b.length),
              "\t\t<nested>\r\n\t\t\t<leaf k=\"v\" >1</leaf>\r\n\t\t</nested>\r\n");
    Xml_FreeNode(doc);
}

TEST(XmlSerialize, MixedContentTextIsWrittenWithoutIndentation)
{
    XmlNode* doc = Parse("<m>before<b/>after</m>");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(Serialize(doc), "<m>\nbefore  <b/>\nafter</m>\n");
    Xml_FreeNode(doc);
}

TEST(XmlSerialize, FullBufferFails)
{
    XmlNode* doc = Parse("<root><child>text</child></root>");
    ASSERT_NE(doc, nullptr);
    const std::string full = Serialize(doc);
    for (uint32_t capacity = 0; capacity < full.size(); ++capacity) {
        std::vector<uint8_t> storage(capacity + 1);
        TextBuffer b;
        TextBuffer_Init(&b, storage.data(), 0, capacity);
        EXPECT_FALSE(Xml_Serialize(doc, ViewOf("\n"), ViewOf("  "), &b)) << capacity;
        EXPECT_LE(b.length, capacity);
        EXPECT_EQ(std::string((const char*)storage.data(), b.length), full.substr(0, b.length));
    }
    Xml_FreeNode(doc);
}

// Serialise a tree with awkward texts, re-parse the output with python's xml.etree and with
// our own parser, and compare both with the tree.
TEST(XmlRoundTrip, OurOutputReadsBackInPythonAndHere)
{
    XmlNode* doc = Xml_NewDocument();
    XmlNode* root = Xml_AddElement(doc, "Parallels_disk_image");
    ASSERT_TRUE(Xml_AddAttribute(root, "note", "a&b <c> \"d\" 'e' ü😀"));
    XmlNode* params = Xml_AddElement(root, "Disk_Parameters");
    Xml_AddIntElement(params, "Disk_size", 1099511627776);
    Xml_AddIntElement(params, "Min", INT64_MIN);
    Xml_AddIntElement(params, "Max", INT64_MAX);
    Xml_AddIntElement(params, "Zero", 0);
    Xml_AddTextElement(params, "Name", "x & y < z > w \" q ' r");
    std::string source = "Größe 日本 & <tag>";
    XmlNode* copied = Xml_AddTextElementView(params, "Copied", ViewOf(source));
    ASSERT_NE(copied, nullptr);
    source.assign(source.size(), '#');  // the tree holds its own copy
    XmlNode* storage = Xml_AddElement(Xml_AddElement(root, "StorageData"), "Storage");
    Xml_AddAttribute(storage, "id", "&&&");
    Xml_AddTextElement(storage, "File", "part.hds");
    Xml_AddElement(storage, "Empty");

    TextView v;
    ASSERT_TRUE(Xml_GetChildText(params, "Min", &v));
    EXPECT_EQ(Str(v), "-9223372036854775808");
    ASSERT_TRUE(Xml_GetChildText(params, "Copied", &v));
    EXPECT_EQ(Str(v), "Größe 日本 & <tag>");

    const std::string expected = DumpDocument(doc);
    const std::string text = Serialize(doc, "\r\n", "\t");
    TempDir dir;
    WriteText(dir.file("out.xml"), text);
    EXPECT_EQ(RunPython(dir, "sys.stdout.write(dump_file(" + Quote(dir.file("out.xml")) + "))\n"),
              expected);

    XmlNode* again = Parse(text);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(DumpDocument(again), expected);
    EXPECT_EQ(Serialize(again, "\r\n", "\t"), text);
    Xml_FreeNode(again);
    Xml_FreeNode(doc);
}

// A document written by python's xml.etree (with its declaration and escapes) reads the same.
TEST(XmlRoundTrip, PythonOutputReadsHere)
{
    TempDir dir;
    const std::string out = RunPython(dir, R"PY(
root = ET.Element('root', {'a': 'x&y<z>"q\'', 'b': 'ü 日本'})
c = ET.SubElement(root, 'child')
c.text = 'text & <more> "quoted" \'single\' 😀'
ET.SubElement(root, 'empty')
d = ET.SubElement(ET.SubElement(root, 'deep'), 'deeper', {'k': ''})
d.text = '>>'
path = sys.argv[0] + '.xml'
ET.ElementTree(root).write(path, encoding='UTF-8', xml_declaration=True)
sys.stdout.write(dump_file(path))
)PY");
    const std::vector<uint8_t> bytes = ReadFile(dir.file("run.py.xml"));
    ASSERT_FALSE(bytes.empty());
    XmlNode* doc = Xml_Parse((const char*)bytes.data(), (uint32_t)bytes.size());
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(DumpDocument(doc), out);
    Xml_FreeNode(doc);
}

TEST(XmlBuild, NestingIsCappedAndDeepTreesFree)
{
    XmlNode* doc = Xml_NewDocument();
    XmlNode* cur = doc;
    for (uint32_t i = 0; i < XML_MAX_DEPTH; ++i) {
        cur = Xml_AddElement(cur, "e");
        ASSERT_NE(cur, nullptr) << i;
    }
    EXPECT_EQ(Xml_AddElement(cur, "e"), nullptr);
    EXPECT_EQ(Xml_AddTextElement(cur, "e", "x"), nullptr);
    EXPECT_EQ(Xml_AddIntElement(cur, "e", 1), nullptr);
    EXPECT_EQ(cur->children.count, 0u);  // nothing half-added
    ASSERT_NE(Xml_AddTextElement(cur->parent, "t", "x"), nullptr);
    const std::string out = Serialize(doc, "", "");
    EXPECT_NE(out.find("<e><e/><t>x</t></e>"), std::string::npos);
    Xml_FreeNode(doc);
}

// Freeing does not recurse: a chain far deeper than any stack, put together by hand, frees
// (ASan checks that every block goes), and serialising it fails instead of overflowing.
TEST(XmlBuild, HandMadeDeepChainFreesWithoutRecursion)
{
    const std::string name = "n";
    XmlNode* doc = Xml_NewDocument();
    XmlNode* cur = doc;
    for (uint32_t i = 0; i < 500000; ++i) {
        XmlNode* child = Xml_NewDocument();
        ASSERT_NE(child, nullptr);
        child->name = ViewOf(name);
        child->parent = cur;
        ASSERT_TRUE(PtrArray_Push(&cur->children, child));
        cur = child;
    }
    Xml_AddTextElement(cur, "leaf", "x");
    std::vector<uint8_t> storage(1 << 16);
    TextBuffer b;
    TextBuffer_Init(&b, storage.data(), 0, (uint32_t)storage.size());
    EXPECT_FALSE(Xml_SerializeNode(ChildAt(doc, 0), 0, ViewOf(""), ViewOf(""), &b));
    Xml_FreeNode(doc);
    Xml_FreeNode(nullptr);
}
