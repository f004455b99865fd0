// A small XML document model for UTF-8 text: a parser that builds a tree of nodes, lookups of
// child elements and their text, builders for new elements, and a serialiser with caller-chosen
// line breaks and indentation.
//
// The tree does not copy what it can point at: names, attribute values and texts are views into
// the parsed source text or into the caller's strings, which must outlive the tree. Texts and
// values that held entities, and texts copied or formatted by the builders, live in blocks
// owned by a node and freed with it.
//
// Supported: elements, attributes, text, comments and processing instructions (both skipped on
// reading) and the five predefined entities &amp; &lt; &gt; &apos; &quot;. Nothing else: no
// CDATA, no DOCTYPE, no numeric character references, no namespaces.
//
// Elements nest at most XML_MAX_DEPTH deep (the document node itself not counted), both in
// parsed and in built trees; deeper input fails to parse and deeper builds are refused.
#pragma once

#include "foundation/array.h"
#include "foundation/text.h"

#include <cstdint>

enum : uint32_t { XML_MAX_DEPTH = 256 };

struct XmlNode {
    XmlNode* parent;       // NULL for the document node
    bool isText;           // true: a text node; false: an element or the document
    TextView name;         // element name (UTF-8); empty for the document and text nodes
    PtrArray children;     // XmlNode pointers in document order
    PtrArray attributes;   // XmlAttribute pointers in order
    TextView text;         // text of a text node (UTF-8, entities decoded)
    PtrArray ownedBlocks;  // memory blocks freed with the node
};

struct XmlAttribute {
    TextView name;
    TextView value;  // entities decoded
};

// Parses UTF-8 text into a new document node whose children are the top-level elements. NULL
// on a syntax error, invalid UTF-8, an unknown entity, a mismatched or stray end tag, elements
// still open at the end, nesting deeper than XML_MAX_DEPTH, or exhausted memory; everything
// built so far is freed. The text must outlive the tree.
XmlNode* Xml_Parse(const char* text, uint32_t length);

// Frees a node with all its descendants, attribute records, owned blocks and lists. Does not
// unlink the node from its parent. Works without recursion on trees of any depth.
void Xml_FreeNode(XmlNode* node);

// Whether an element's name equals a terminated UTF-8 string (case-sensitive); false for text
// nodes and NULL arguments.
bool Xml_NameIs(const XmlNode* node, const char* name);
// The first child element (text nodes skipped) with the given name, or NULL.
XmlNode* Xml_FindChild(const XmlNode* parent, const char* name);
// The text of an element whose only child is a text node; false otherwise.
bool Xml_GetText(const XmlNode* element, TextView* text);
// Xml_FindChild, then Xml_GetText.
bool Xml_GetChildText(const XmlNode* parent, const char* name, TextView* text);

// A new empty document node, or NULL when memory is exhausted.
XmlNode* Xml_NewDocument();
// Appends a new element named by a terminated UTF-8 string (not copied) to the parent's
// children. NULL when memory is exhausted or the parent already lies XML_MAX_DEPTH deep.
XmlNode* Xml_AddElement(XmlNode* parent, const char* name);
// Appends an attribute whose name and value are terminated UTF-8 strings (not copied).
bool Xml_AddAttribute(XmlNode* element, const char* name, const char* value);
// Appends an element holding one text node that points at a terminated UTF-8 string (not
// copied). Answers the new element, or NULL (nothing appended).
XmlNode* Xml_AddTextElement(XmlNode* parent, const char* name, const char* text);
// The same with the text copied from a view into a block owned by the text node.
XmlNode* Xml_AddTextElementView(XmlNode* parent, const char* name, TextView text);
// The same with the decimal text of a signed 64-bit number in a block owned by the element.
XmlNode* Xml_AddIntElement(XmlNode* parent, const char* name, int64_t value);

// Appends every top-level element of the document in order, at depth 0. The buffer receives
// UTF-8; lineBreak and indentation are UTF-8 views. False when the buffer is full (it keeps
// what was appended) or the tree is malformed.
bool Xml_Serialize(const XmlNode* document, TextView lineBreak, TextView indentation,
                   TextBuffer* buffer);
// Appends one node, indented by `depth` indentation views:
//   no children:              <name a="v" />         (a blank after the last attribute)
//   one text child:           <name>text</name>
//   otherwise:                <name>, the children one level deeper, </name>
// each followed by the line break. A text node is written escaped without indentation.
bool Xml_SerializeNode(const XmlNode* node, uint32_t depth, TextView lineBreak,
                       TextView indentation, TextBuffer* buffer);
