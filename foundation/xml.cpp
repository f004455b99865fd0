// The small XML document model: scanner, tree builder, entities, lookups, builders and the
// serialiser.
#include "foundation/xml.h"

#include "foundation/format.h"
#include "foundation/platform.h"

#include <cstring>

namespace {

// ---- Nodes -----------------------------------------------------------------------

XmlNode* NewNode(XmlNode* parent, bool isText)
{
    XmlNode* node = (XmlNode*)Mem_Alloc(sizeof(XmlNode));
    if (node == nullptr) return nullptr;
    node->parent = parent;
    node->isText = isText;
    Text_InitEmpty(&node->name);
    PtrArray_Init(&node->children);
    PtrArray_Init(&node->attributes);
    Text_InitEmpty(&node->text);
    PtrArray_Init(&node->ownedBlocks);
    return node;
}

// Frees what one node holds itself (not its children) and the node.
void ReleaseNode(XmlNode* node)
{
    for (uint32_t i = 0; i < node->ownedBlocks.count; ++i) Mem_Free(node->ownedBlocks.items[i]);
    PtrArray_Free(&node->ownedBlocks);
    for (uint32_t i = 0; i < node->attributes.count; ++i) Mem_Free(node->attributes.items[i]);
    PtrArray_Free(&node->attributes);
    PtrArray_Free(&node->children);
    Mem_Free(node);
}

// Hands a block to a node, which frees it with itself; frees the block when that fails.
bool AdoptBlock(XmlNode* node, void* block)
{
    if (PtrArray_Push(&node->ownedBlocks, block)) return true;
    Mem_Free(block);
    return false;
}

TextView ViewOf(const uint8_t* data, uint32_t length)
{
    TextView view;
    view.data = data;
    view.length = length;
    return view;
}

TextView ViewOfCString(const char* s)
{
    TextView view;
    Text_FromCStringUtf8(&view, s);
    return view;
}

bool SameText(TextView a, TextView b)
{
    return a.length == b.length && (a.length == 0 || std::memcmp(a.data, b.data, a.length) == 0);
}

// Levels of elements from the document down to this node (the document is 0). Stops counting
// beyond the nesting limit.
uint32_t DepthOf(const XmlNode* node)
{
    uint32_t depth = 0;
    while (node != nullptr && node->parent != nullptr && depth <= XML_MAX_DEPTH) {
        node = node->parent;
        ++depth;
    }
    return depth;
}

// ---- Entities ----------------------------------------------------------------------

struct Entity {
    const char* name;  // between "&" and ";"
    uint32_t length;
    uint8_t value;
};
const Entity kEntities[] = {
    {"amp", 3, '&'}, {"lt", 2, '<'}, {"gt", 2, '>'}, {"apos", 4, '\''}, {"quot", 4, '"'},
};

// Decodes the five predefined entities. A text without "&" keeps its view; otherwise the
// decoded text goes into a block owned by `owner`. False for any other "&" sequence or when
// memory is exhausted.
bool DecodeEntities(XmlNode* owner, TextView in, TextView* out)
{
    if (in.length == 0 || std::memchr(in.data, '&', in.length) == nullptr) {
        *out = in;
        return true;
    }
    uint8_t* block = (uint8_t*)Mem_Alloc(in.length);  // decoding never lengthens
    if (block == nullptr) return false;
    uint32_t written = 0;
    uint32_t i = 0;
    while (i < in.length) {
        if (in.data[i] != '&') {
            block[written++] = in.data[i++];
            continue;
        }
        bool matched = false;
        for (const Entity& e : kEntities) {
            if (in.length - i - 1 >= e.length + 1 &&
                std::memcmp(in.data + i + 1, e.name, e.length) == 0 &&
                in.data[i + 1 + e.length] == ';') {
                block[written++] = e.value;
                i += e.length + 2;
                matched = true;
                break;
            }
        }
        if (!matched) {
            Mem_Free(block);
            return false;
        }
    }
    if (!AdoptBlock(owner, block)) return false;
    *out = ViewOf(block, written);
    return true;
}

// ---- Scanner -------------------------------------------------------------------------

enum XmlEvent {
    XML_EV_TEXT = 0,
    XML_EV_ELEMENT_NAME = 1,
    XML_EV_START_TAG_END = 2,
    XML_EV_EMPTY_ELEMENT_END = 3,
    XML_EV_END_TAG_NAME = 4,
    XML_EV_ATTRIBUTE_NAME = 5,
    XML_EV_ATTRIBUTE_VALUE = 6,
    XML_EV_PI_NAME = 7,
    XML_EV_PI_END = 8,
    XML_EV_COMMENT = 9
};

typedef bool (*XmlEventFn)(void* user, XmlEvent event, TextView view);

enum ScanState {
    SCAN_CONTENT,
    SCAN_AFTER_LT,
    SCAN_ELEMENT_NAME,
    SCAN_IN_START_TAG,
    SCAN_ATTRIBUTE_NAME,
    SCAN_AFTER_ATTRIBUTE_NAME,
    SCAN_BEFORE_VALUE,
    SCAN_VALUE,
    SCAN_EXPECT_GT,
    SCAN_AFTER_LT_SLASH,
    SCAN_END_TAG_NAME,
    SCAN_AFTER_END_TAG_NAME,
    SCAN_AFTER_LT_QUESTION,
    SCAN_PI_NAME,
    SCAN_IN_PI,
    SCAN_COMMENT
};

bool IsSpace(uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Any character may be part of a name except white space and the markup characters.
bool IsNameChar(uint32_t c)
{
    if (c >= 0x80) return true;  // a non-ASCII character
    return !IsSpace(c) && std::strchr("<>/=\"'?!&", (int)c) == nullptr && c != 0;
}

bool HasAt(const uint8_t* p, uint32_t length, uint32_t pos, const char* s)
{
    uint32_t n = (uint32_t)std::strlen(s);
    return pos <= length && length - pos >= n && std::memcmp(p + pos, s, n) == 0;
}

// Walks UTF-8 text and reports its syntax events. False on invalid UTF-8, a syntax error, a
// text that ends inside markup, or when the callback answers false.
bool Scan(const uint8_t* p, uint32_t length, XmlEventFn emit, void* user)
{
    ScanState state = SCAN_CONTENT;
    uint32_t start = 0;  // start of the text, name or value being collected
    uint8_t quote = 0;
    uint32_t pos = 0;
    while (pos < length) {
        const uint32_t n = Text_ValidCharLength(p + pos, length - pos, TEXT_ENC_UTF8);
        if (n == 0) return false;
        const uint32_t c = n == 1 ? p[pos] : 0x80;
        uint32_t next = pos + n;
        switch (state) {
        case SCAN_CONTENT:
            if (c == '<') {
                if (pos > start && !emit(user, XML_EV_TEXT, ViewOf(p + start, pos - start)))
                    return false;
                state = SCAN_AFTER_LT;
            }
            break;
        case SCAN_AFTER_LT:
            if (c == '/') {
                state = SCAN_AFTER_LT_SLASH;
            } else if (c == '?') {
                state = SCAN_AFTER_LT_QUESTION;
            } else if (c == '!') {
                if (!HasAt(p, length, next, "--")) return false;
                next += 2;
                start = next;
                state = SCAN_COMMENT;
            } else if (IsNameChar(c)) {
                start = pos;
                state = SCAN_ELEMENT_NAME;
            } else {
                return false;
            }
            break;
        case SCAN_ELEMENT_NAME:
            if (IsNameChar(c)) break;
            if (!IsSpace(c) && c != '>' && c != '/') return false;
            if (!emit(user, XML_EV_ELEMENT_NAME, ViewOf(p + start, pos - start))) return false;
            if (c == '>') {
                if (!emit(user, XML_EV_START_TAG_END, ViewOf(p + pos, 1))) return false;
                start = next;
                state = SCAN_CONTENT;
            } else {
                state = c == '/' ? SCAN_EXPECT_GT : SCAN_IN_START_TAG;
            }
            break;
        case SCAN_IN_START_TAG:
            if (IsSpace(c)) break;
            if (c == '>') {
                if (!emit(user, XML_EV_START_TAG_END, ViewOf(p + pos, 1))) return false;
                start = next;
                state = SCAN_CONTENT;
            } else if (c == '/') {
                state = SCAN_EXPECT_GT;
            } else if (IsNameChar(c)) {
                start = pos;
                state = SCAN_ATTRIBUTE_NAME;
            } else {
                return false;
            }
            break;
        case SCAN_ATTRIBUTE_NAME:
            if (IsNameChar(c)) break;
            if (!IsSpace(c) && c != '=') return false;
            if (!emit(user, XML_EV_ATTRIBUTE_NAME, ViewOf(p + start, pos - start))) return false;
            state = c == '=' ? SCAN_BEFORE_VALUE : SCAN_AFTER_ATTRIBUTE_NAME;
            break;
        case SCAN_AFTER_ATTRIBUTE_NAME:
            if (IsSpace(c)) break;
            if (c != '=') return false;
            state = SCAN_BEFORE_VALUE;
            break;
        case SCAN_BEFORE_VALUE:
            if (IsSpace(c)) break;
            if (c != '"' && c != '\'') return false;
            quote = (uint8_t)c;
            start = next;
            state = SCAN_VALUE;
            break;
        case SCAN_VALUE:
            if (c == '<') return false;
            if (c == quote) {
                if (!emit(user, XML_EV_ATTRIBUTE_VALUE, ViewOf(p + start, pos - start)))
                    return false;
                state = SCAN_IN_START_TAG;
            }
            break;
        case SCAN_EXPECT_GT:
            if (c != '>') return false;
            if (!emit(user, XML_EV_EMPTY_ELEMENT_END, ViewOf(p + pos, 1))) return false;
            start = next;
            state = SCAN_CONTENT;
            break;
        case SCAN_AFTER_LT_SLASH:
            if (!IsNameChar(c)) return false;  // also "</>": an end tag needs a name
            start = pos;
            state = SCAN_END_TAG_NAME;
            break;
        case SCAN_END_TAG_NAME:
            if (IsNameChar(c)) break;
            if (!IsSpace(c) && c != '>') return false;
            if (!emit(user, XML_EV_END_TAG_NAME, ViewOf(p + start, pos - start))) return false;
            if (c == '>') {
                start = next;
                state = SCAN_CONTENT;
            } else {
                state = SCAN_AFTER_END_TAG_NAME;
            }
            break;
        case SCAN_AFTER_END_TAG_NAME:
            if (IsSpace(c)) break;
            if (c != '>') return false;
            start = next;
            state = SCAN_CONTENT;
            break;
        case SCAN_AFTER_LT_QUESTION:
            if (!IsNameChar(c)) return false;
            start = pos;
            state = SCAN_PI_NAME;
            break;
        case SCAN_PI_NAME:
            if (IsNameChar(c)) break;
            if (!IsSpace(c) && c != '?') return false;
            if (!emit(user, XML_EV_PI_NAME, ViewOf(p + start, pos - start))) return false;
            state = SCAN_IN_PI;
            if (c != '?') break;
            [[fallthrough]];  // "?" right after the name
        case SCAN_IN_PI:
            if (c == '?' && HasAt(p, length, next, ">")) {
                if (!emit(user, XML_EV_PI_END, ViewOf(p + pos, 1))) return false;
                next += 1;
                start = next;
                state = SCAN_CONTENT;
            }
            break;
        case SCAN_COMMENT:
            if (c == '-' && HasAt(p, length, pos, "-->")) {
                if (!emit(user, XML_EV_COMMENT, ViewOf(p + start, pos - start))) return false;
                next = pos + 3;
                start = next;
                state = SCAN_CONTENT;
            }
            break;
        }
        pos = next;
    }
    if (state != SCAN_CONTENT) return false;  // the text ends inside markup
    if (length > start && !emit(user, XML_EV_TEXT, ViewOf(p + start, length - start))) return false;
    return true;
}

// ---- Builder ---------------------------------------------------------------------------

enum BuildState { BUILD_CONTENT, BUILD_START_TAG, BUILD_PI };

struct Builder {
    XmlNode* document;
    XmlNode* current;
    uint32_t depth;  // open elements
    BuildState state;
    XmlAttribute* pendingAttribute;  // waiting for its value
};

bool IsAllSpace(TextView text)
{
    for (uint32_t i = 0; i < text.length; ++i)
        if (!IsSpace(text.data[i])) return false;
    return true;
}

// Appends a child to a parent; frees the child when that fails.
bool AttachChild(XmlNode* parent, XmlNode* child)
{
    if (PtrArray_Push(&parent->children, child)) return true;
    Xml_FreeNode(child);
    return false;
}

bool OnEvent(void* user, XmlEvent event, TextView view)
{
    Builder* b = (Builder*)user;
    if (b->state == BUILD_PI) {
        if (event == XML_EV_PI_END) b->state = BUILD_CONTENT;
        return true;
    }
    if (b->state == BUILD_START_TAG) {
        switch (event) {
        case XML_EV_ATTRIBUTE_NAME: {
            if (b->pendingAttribute != nullptr) return false;
            XmlAttribute* a = (XmlAttribute*)Mem_Alloc(sizeof(XmlAttribute));
            if (a == nullptr) return false;
            a->name = view;
            Text_InitEmpty(&a->value);
            if (!PtrArray_Push(&b->current->attributes, a)) {
                Mem_Free(a);
                return false;
            }
            b->pendingAttribute = a;
            return true;
        }
        case XML_EV_ATTRIBUTE_VALUE: {
            XmlAttribute* a = b->pendingAttribute;
            if (a == nullptr) return false;
            b->pendingAttribute = nullptr;
            return DecodeEntities(b->current, view, &a->value);
        }
        case XML_EV_START_TAG_END:
            if (b->pendingAttribute != nullptr) return false;
            b->state = BUILD_CONTENT;
            return true;
        case XML_EV_EMPTY_ELEMENT_END:
            if (b->pendingAttribute != nullptr) return false;
            b->current = b->current->parent;
            b->depth--;
            b->state = BUILD_CONTENT;
            return true;
        default:
            return false;
        }
    }
    switch (event) {
    case XML_EV_TEXT: {
        if (IsAllSpace(view)) return true;
        XmlNode* t = NewNode(b->current, true);
        if (t == nullptr) return false;
        if (!DecodeEntities(t, view, &t->text)) {
            Xml_FreeNode(t);
            return false;
        }
        return AttachChild(b->current, t);
    }
    case XML_EV_ELEMENT_NAME: {
        if (b->depth >= XML_MAX_DEPTH) return false;
        XmlNode* e = NewNode(b->current, false);
        if (e == nullptr) return false;
        e->name = view;
        if (!AttachChild(b->current, e)) return false;
        b->current = e;
        b->depth++;
        b->state = BUILD_START_TAG;
        return true;
    }
    case XML_EV_END_TAG_NAME:
        // An end tag must close the element that is open; at document level nothing is.
        if (b->current == b->document || !SameText(view, b->current->name)) return false;
        b->current = b->current->parent;
        b->depth--;
        return true;
    case XML_EV_PI_NAME:
        b->state = BUILD_PI;
        return true;
    case XML_EV_COMMENT:
        return true;
    default:
        return false;
    }
}

// ---- Serialiser ------------------------------------------------------------------------

bool AppendBytes(TextBuffer* buffer, const uint8_t* p, uint32_t length)
{
    return length == 0 || TextBuffer_Append(buffer, ViewOf(p, length));
}

bool AppendAscii(TextBuffer* buffer, const char* s)
{
    return AppendBytes(buffer, (const uint8_t*)s, (uint32_t)std::strlen(s));
}

// Appends text with "&", "<" and ">" escaped, and in an attribute value also "\"".
bool AppendEscaped(TextBuffer* buffer, TextView text, bool attribute)
{
    uint32_t runStart = 0;
    for (uint32_t i = 0; i < text.length; ++i) {
        const char* replacement = nullptr;
        switch (text.data[i]) {
        case '&':
            replacement = "&amp;";
            break;
        case '<':
            replacement = "&lt;";
            break;  // "<" is not allowed in a value either
        case '>':
            replacement = "&gt;";
            break;
        case '"':
            replacement = attribute ? "&quot;" : nullptr;
            break;
        default:
            break;
        }
        if (replacement == nullptr) continue;
        if (!AppendBytes(buffer, text.data + runStart, i - runStart)) return false;
        if (!AppendAscii(buffer, replacement)) return false;
        runStart = i + 1;
    }
    return AppendBytes(buffer, text.data + runStart, text.length - runStart);
}

bool AppendIndent(TextBuffer* buffer, uint32_t depth, TextView indentation)
{
    if (indentation.length == 0) return true;
    for (uint32_t i = 0; i < depth; ++i)
        if (!TextBuffer_Append(buffer, indentation)) return false;
    return true;
}

// `level` counts the elements entered below the node the caller asked for and bounds the
// recursion.
bool SerializeAt(const XmlNode* node, uint32_t depth, uint32_t level, TextView lineBreak,
                 TextView indentation, TextBuffer* buffer)
{
    if (node == nullptr) return false;
    if (node->isText) return AppendEscaped(buffer, node->text, false);
    if (level > XML_MAX_DEPTH) return false;

    if (!AppendIndent(buffer, depth, indentation) || !AppendAscii(buffer, "<") ||
        !TextBuffer_Append(buffer, node->name))
        return false;
    for (uint32_t i = 0; i < node->attributes.count; ++i) {
        const XmlAttribute* a = (const XmlAttribute*)node->attributes.items[i];
        if (!AppendAscii(buffer, " ") || !TextBuffer_Append(buffer, a->name) ||
            !AppendAscii(buffer, "=\"") || !AppendEscaped(buffer, a->value, true) ||
            !AppendAscii(buffer, "\""))
            return false;
    }
    if (node->attributes.count != 0 && !AppendAscii(buffer, " ")) return false;

    const uint32_t count = node->children.count;
    if (count == 0) return AppendAscii(buffer, "/>") && TextBuffer_Append(buffer, lineBreak);

    const XmlNode* first = (const XmlNode*)node->children.items[0];
    if (count == 1 && first != nullptr && first->isText) {
        return AppendAscii(buffer, ">") && AppendEscaped(buffer, first->text, false) &&
               AppendAscii(buffer, "</") && TextBuffer_Append(buffer, node->name) &&
               AppendAscii(buffer, ">") && TextBuffer_Append(buffer, lineBreak);
    }

    if (!AppendAscii(buffer, ">") || !TextBuffer_Append(buffer, lineBreak)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!SerializeAt((const XmlNode*)node->children.items[i], depth + 1, level + 1, lineBreak,
                         indentation, buffer))
            return false;
    }
    return AppendIndent(buffer, depth, indentation) && AppendAscii(buffer, "</") &&
           TextBuffer_Append(buffer, node->name) && AppendAscii(buffer, ">") &&
           TextBuffer_Append(buffer, lineBreak);
}

}  // namespace

// ---- Parsing and freeing -------------------------------------------------------------------

XmlNode* Xml_Parse(const char* text, uint32_t length)
{
    if (text == nullptr && length != 0) return nullptr;
    XmlNode* document = NewNode(nullptr, false);
    if (document == nullptr) return nullptr;
    Builder b;
    b.document = document;
    b.current = document;
    b.depth = 0;
    b.state = BUILD_CONTENT;
    b.pendingAttribute = nullptr;
    // Elements still open at the end mean a truncated document.
    if (!Scan((const uint8_t*)text, length, OnEvent, &b) || b.current != document ||
        b.state != BUILD_CONTENT) {
        Xml_FreeNode(document);
        return nullptr;
    }
    return document;
}

void Xml_FreeNode(XmlNode* node)
{
    // Depth-first without recursion: descend into the last remaining child, free a node once
    // it has no children left and climb back through its parent pointer.
    XmlNode* current = node;
    while (current != nullptr) {
        if (current->children.count != 0) {
            XmlNode* child = (XmlNode*)current->children.items[--current->children.count];
            if (child != nullptr) {
                child->parent = current;
                current = child;
            }
            continue;
        }
        XmlNode* up = current == node ? nullptr : current->parent;
        ReleaseNode(current);
        current = up;
    }
}

// ---- Lookups ---------------------------------------------------------------------------

bool Xml_NameIs(const XmlNode* node, const char* name)
{
    if (node == nullptr || name == nullptr || node->isText) return false;
    return SameText(node->name, ViewOfCString(name));
}

XmlNode* Xml_FindChild(const XmlNode* parent, const char* name)
{
    if (parent == nullptr || name == nullptr) return nullptr;
    const TextView wanted = ViewOfCString(name);
    for (uint32_t i = 0; i < parent->children.count; ++i) {
        XmlNode* child = (XmlNode*)parent->children.items[i];
        if (child != nullptr && !child->isText && SameText(child->name, wanted)) return child;
    }
    return nullptr;
}

bool Xml_GetText(const XmlNode* element, TextView* text)
{
    if (element == nullptr || element->isText || element->children.count != 1) return false;
    const XmlNode* child = (const XmlNode*)element->children.items[0];
    if (child == nullptr || !child->isText) return false;
    *text = child->text;
    return true;
}

bool Xml_GetChildText(const XmlNode* parent, const char* name, TextView* text)
{
    return Xml_GetText(Xml_FindChild(parent, name), text);
}

// ---- Builders ------------------------------------------------------------------------------

XmlNode* Xml_NewDocument() { return NewNode(nullptr, false); }

XmlNode* Xml_AddElement(XmlNode* parent, const char* name)
{
    if (parent == nullptr || parent->isText || name == nullptr) return nullptr;
    if (DepthOf(parent) >= XML_MAX_DEPTH) return nullptr;
    XmlNode* element = NewNode(parent, false);
    if (element == nullptr) return nullptr;
    element->name = ViewOfCString(name);
    if (!AttachChild(parent, element)) return nullptr;
    return element;
}

bool Xml_AddAttribute(XmlNode* element, const char* name, const char* value)
{
    if (element == nullptr || element->isText || name == nullptr || value == nullptr) return false;
    XmlAttribute* a = (XmlAttribute*)Mem_Alloc(sizeof(XmlAttribute));
    if (a == nullptr) return false;
    a->name = ViewOfCString(name);
    a->value = ViewOfCString(value);
    if (PtrArray_Push(&element->attributes, a)) return true;
    Mem_Free(a);
    return false;
}

namespace {

// Removes the element that Xml_AddElement just appended to the parent and frees it.
void UndoAddElement(XmlNode* parent, XmlNode* element)
{
    parent->children.count--;
    Xml_FreeNode(element);
}

// Appends an element holding one text node whose text is `text`; when `copy` is set the text
// is copied into a block owned by the text node.
XmlNode* AddTextElement(XmlNode* parent, const char* name, TextView text, bool copy)
{
    XmlNode* element = Xml_AddElement(parent, name);
    if (element == nullptr) return nullptr;
    XmlNode* t = NewNode(element, true);
    if (t == nullptr) {
        UndoAddElement(parent, element);
        return nullptr;
    }
    if (copy && text.length != 0) {
        uint8_t* block = (uint8_t*)Mem_Alloc(text.length);
        if (block == nullptr || !AdoptBlock(t, block)) {
            Xml_FreeNode(t);
            UndoAddElement(parent, element);
            return nullptr;
        }
        std::memcpy(block, text.data, text.length);
        text = ViewOf(block, text.length);
    }
    t->text = text;
    if (!AttachChild(element, t)) {
        UndoAddElement(parent, element);
        return nullptr;
    }
    return element;
}

}  // namespace

XmlNode* Xml_AddTextElement(XmlNode* parent, const char* name, const char* text)
{
    if (text == nullptr) return nullptr;
    return AddTextElement(parent, name, ViewOfCString(text), false);
}

XmlNode* Xml_AddTextElementView(XmlNode* parent, const char* name, TextView text)
{
    if (text.length != 0 && text.data == nullptr) return nullptr;
    return AddTextElement(parent, name, text, true);
}

XmlNode* Xml_AddIntElement(XmlNode* parent, const char* name, int64_t value)
{
    char* block = (char*)Mem_Alloc(32);
    if (block == nullptr) return nullptr;
    const int n = Text_FormatCrt(block, 32, "%wd", value);
    if (n < 0) {
        Mem_Free(block);
        return nullptr;
    }
    XmlNode* element =
        AddTextElement(parent, name, ViewOf((const uint8_t*)block, (uint32_t)n), false);
    if (element == nullptr) {
        Mem_Free(block);
        return nullptr;
    }
    if (!AdoptBlock(element, block)) {
        // AdoptBlock freed the block; the text node must not point at it.
        XmlNode* parentNode = element->parent;
        UndoAddElement(parentNode, element);
        return nullptr;
    }
    return element;
}

// ---- Serialising -----------------------------------------------------------------------------

bool Xml_Serialize(const XmlNode* document, TextView lineBreak, TextView indentation,
                   TextBuffer* buffer)
{
    if (document == nullptr || buffer == nullptr) return false;
    for (uint32_t i = 0; i < document->children.count; ++i) {
        if (!SerializeAt((const XmlNode*)document->children.items[i], 0, 1, lineBreak, indentation,
                         buffer))
            return false;
    }
    return true;
}

bool Xml_SerializeNode(const XmlNode* node, uint32_t depth, TextView lineBreak,
                       TextView indentation, TextBuffer* buffer)
{
    if (buffer == nullptr) return false;
    return SerializeAt(node, depth, 1, lineBreak, indentation, buffer);
}
