// Asks the new capacity of an image in sectors, MiB or GiB: above the current capacity and not
// above a maximum the caller sets.
#pragma once

#include <fx.h>

#include <cstdint>

#include "gui/frame/dialogs.h"

// The bounds the dialog accepts in each unit.
struct ExpandCapacityBounds {
    uint64_t minSectors, maxSectors;
    uint64_t minMiB, maxMiB;
    uint64_t minGiB, maxGiB;
};
// For the current capacity K and the maximum: K + 1 .. maximum sectors, (K >> 11) + 1 .. M - 1
// MiB and (K >> 21) + 1 .. ceil((M - 1) / 1024) - 1 GiB with M = ceil(maximum / 2048), so that
// every accepted value lies above K and at or below the maximum.
ExpandCapacityBounds ExpandCapacity_Bounds(uint64_t current, uint64_t maximum);

class CExpandCapacityDialog : public CNDialogBase {
    FXDECLARE(CExpandCapacityDialog)
public:
    uint64_t capacity;  // in: the current capacity; out (after 61): the chosen one
    uint64_t maximum;   // set by the caller before execute
protected:
    FXRadioButton* sectorRadio;
    FXRadioButton* mibRadio;
    FXRadioButton* gibRadio;
    FXTextField* sectorField;
    FXTextField* mibField;
    FXTextField* gibField;
    uint64_t valueMiB, valueGiB, maximumMiB, maximumGiB, minimumSectors, minimumMiB, minimumGiB;
    FXuint mode;
    CExpandCapacityDialog();
    void EnableFields();

public:
    enum { ID_SECTORS = UI_ID_FIRST, ID_MIB = UI_ID_FIRST + 1, ID_GIB = UI_ID_FIRST + 2 };
    CExpandCapacityDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXTextField* GetField(FXuint unitMode) const;
    FXRadioButton* GetRadio(FXuint unitMode) const;
    FXuint GetMode() const { return mode; }
    long onCmdMode(FXObject*, FXSelector, void*);
    long onUpdMode(FXObject*, FXSelector, void*);
    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
