// The VMDK descriptor: the reader's check (as a separate file or as embedded text), the parse,
// and the rewrites with a set of edits chosen by the input's last byte.
#include <cstring>
#include <vector>

#include "formats/vmdk/vmdk_descriptor.h"
#include "fuzz/fuzz_support.h"

namespace {

VmdkDescriptor g_descriptor;
VmdkDescriptor g_reparsed;
VmdkDescriptorEdits g_edits;
uint8_t g_output[VMDK_MAX_DESCRIPTOR_BYTES * 2];

void SetText(VmdkEditText* edit, const char* value, bool remove)
{
    edit->set = 1;
    edit->remove = remove ? 1 : 0;
    Text_FromCStringUtf8(&edit->value, value);
}

void SetU32(VmdkEditU32* edit, uint32_t value)
{
    edit->set = 1;
    edit->remove = 0;
    edit->value = value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    if (size > VMDK_MAX_DESCRIPTOR_BYTES) return 0;
    const uint8_t sel = fuzz::Selector(data, size);
    const bool embedded = (sel & 1) != 0;
    uint32_t textLength = 0;
    std::vector<uint8_t> bytes(data, data + size);
    bytes.push_back(0);
    Vmdk_InitDescriptor(&g_descriptor);
    if (Vmdk_CheckDescriptorText(&g_descriptor, bytes.data(), static_cast<uint32_t>(size), embedded,
                                 &textLength) != DISK_OK)
        return 0;
    FUZZ_CHECK(textLength <= size);
    FUZZ_CHECK(g_descriptor.extentCount <= VMDK_MAX_EXTENTS);

    TextView old = {bytes.data(), textLength};
    Vmdk_ClearDescriptorEdits(&g_edits);
    g_edits.extentCount = g_descriptor.extentCount;
    switch ((sel >> 1) % 6) {
    case 0:  // only the extent lines kept
        break;
    case 1:
        SetText(&g_edits.cid, "fffffffe", false);
        SetText(&g_edits.parentCid, "ffffffff", false);
        SetText(&g_edits.createType, "monolithicSparse", false);
        break;
    case 2:
        SetText(&g_edits.parentFileNameHint, "../parent.vmdk", false);
        SetU32(&g_edits.hwVersionIndex, sel % VMDK_HW_VERSION_COUNT);
        SetU32(&g_edits.adapter, sel % 3);
        break;
    case 3:
        SetU32(&g_edits.cylinders, 1024);
        SetU32(&g_edits.heads, 16);
        SetU32(&g_edits.sectorsPerTrack, 63);
        SetText(&g_edits.uuid, "60 00 C2 9a", false);
        g_edits.dropDdbLines = 1;
        break;
    case 4:
        SetU32(&g_edits.encoding, (sel & 0x80) ? VMDK_ENCODING_SHIFT_JIS : VMDK_ENCODING_UTF8);
        SetText(&g_edits.parentFileNameHint, "", true);
        break;
    default:
        // Every extent line rewritten as a sparse extent of a new name, one line dropped.
        g_edits.extentCount = g_descriptor.extentCount > 0 ? g_descriptor.extentCount - 1 : 0;
        for (uint32_t i = 0; i < g_edits.extentCount; ++i) {
            VmdkExtentEdit* e = &g_edits.extents[i];
            e->set = 1;
            e->sectors = g_descriptor.extents[i].sectors;
            snprintf(e->fileNameStorage, sizeof e->fileNameStorage, "x-s%03u.vmdk", i + 1);
            Text_FromCStringUtf8(&e->fileName, e->fileNameStorage);
            e->makeSparse = 1;
        }
        break;
    }

    const TextEncoding enc = g_descriptor.textEncoding;
    TextBuffer out;
    TextBuffer_Init(&out, g_output, 0, sizeof g_output);
    if (Vmdk_RewriteDescriptorUtf8(old, enc, &out, &g_edits, TEXT_ENC_UTF8)) {
        FUZZ_CHECK(out.length < sizeof g_output);
        Vmdk_InitDescriptor(&g_reparsed);
        uint32_t n = 0;
        Vmdk_CheckDescriptorText(&g_reparsed, g_output, out.length, false, &n);
    }
    TextBuffer_Init(&out, g_output, 0, sizeof g_output);
    Vmdk_RewriteDescriptor(old, enc, &out, TEXT_ENC_UTF8, &g_edits, TEXT_ENC_UTF8, TEXT_ENC_UTF8);
    Vmdk_InitDescriptor(&g_reparsed);
    TextView view = {bytes.data(), textLength};
    Vmdk_ParseDescriptor(&g_reparsed, view);
    return 0;
}
