// The wizard's page order: which page follows which, the defaults a page gets when it is
// entered by Next, and what is released when the user goes back.
//
// The routing works on the ConversionJob alone and touches no window, so that it can be
// checked as a table. Pages by index: 0 source; 1 raw image file, 2 Bochs sparse image,
// 3 Bochs redolog, 4 block device, 5 split set, 6 new blank disk; 7 destination type;
// 8 geometry; 9..30 the option pages of destination kinds 0..21; 31 cylinder boundary;
// 32 destination path; 33 conversion run.
#pragma once

#include "gui/job/conversion_job.h"

enum : int {
    WIZARD_PAGE_COUNT = 34,
    WIZARD_PAGE_SOURCE = 0,
    WIZARD_PAGE_RAW_FILE = 1,
    WIZARD_PAGE_BOCHS_SPARSE = 2,
    WIZARD_PAGE_BOCHS_REDOLOG = 3,
    WIZARD_PAGE_DEVICE = 4,
    WIZARD_PAGE_SPLIT = 5,
    WIZARD_PAGE_NEW_DISK = 6,
    WIZARD_PAGE_DEST_TYPE = 7,
    WIZARD_PAGE_GEOMETRY = 8,
    WIZARD_PAGE_FIRST_OPTIONS = 9,
    WIZARD_PAGE_LAST_OPTIONS = 30,
    WIZARD_PAGE_CYLINDERS = 31,
    WIZARD_PAGE_DEST_PATH = 32,
    WIZARD_PAGE_CONVERT = 33
};

// Message numbers the routing asks the wizard to show (caption 0, error box).
enum : int {
    ROUTING_NO_MESSAGE = -1,
};

// Closes the base image that the Bochs redolog page attached to the source disk (the source's
// own object is passed). Set by the Bochs redolog handler; without one nothing is attached.
extern void (*Routing_CloseBochsBase)(void* sourceObject);

// Next from `page`: the page to show, or -1 to stay. Forward routing first (it may set fields,
// measure the source or ask the destination plug-in), then the entry defaults of the page it
// chose, which may replace the cylinder-boundary page by the destination-path page. When the
// wizard must stay with a message, *message receives its number (else ROUTING_NO_MESSAGE).
int Routing_GetNextPage(ConversionJob* job, int page, int* message);
// Back from `page`: the page to show, or -1 to stay. Backward routing first (it releases what
// the page being left holds), then the back cleanup of the page it chose.
int Routing_GetPrevPage(ConversionJob* job, int page);

// The defaults of `page` applied on entry by Next; answers the page actually entered (31 may
// become 32). Open for tests.
int Routing_ApplyEntryDefaults(ConversionJob* job, int page);
// Whether a destination geometry is a whole number of cylinders for the destination kind: the
// VHD rule for the VHD destinations, else total modulo heads x sectors per track. A
// geometry without heads or sectors per track has no cylinders to round to and counts as whole.
bool Routing_IsWholeCylinders(int32_t destKind, const DiskGeometry* geometry);
// Cylinders of a geometry: total / (heads x sectors per track); 0 without heads or sectors per
// track; 0xFFFFFFFF when the quotient does not fit 32 bits.
uint32_t Routing_CylinderCount(const DiskGeometry* geometry);
