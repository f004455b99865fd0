// The record through which the tests steer the stand-in plug-in module and read what it did.
// The module exports one instance as the symbol "standin".
#pragma once

#include <cstdint>

extern "C" {

struct StandinState {
    // Steering.
    int openResult;    // answer of "_8" and "_22"
    uint64_t sectors;  // geometry reported by "_9" (low 32 bits) and "_28"
    uint32_t heads;
    uint32_t sectorsPerTrack;
    uint32_t bytesPerSector;
    int readExResult;     // answer of "_25" (0: fill with the byte pattern)
    int readAnswer;       // answer of "_10"
    int rangeResult;      // answer of "_19" and "_23"
    uint8_t rangeEmpty;   // byte written through their empty pointer
    int checkAnswer;      // answer of "_13" and "_29"
    int writeResult;      // answer of "_17" and "_24" after their work
    int setPathExResult;  // answer of "_27"
    int setPathAnswer;    // answer of "_15"
    int messageFill;      // "_21": 0 fills a short text, 1 fills the whole buffer unterminated
    uint8_t messageAnswer;
    // What happened.
    int created, inited, closed, freed;
    int opens, openExs;
    int reads, readExs;
    int ranges, rangeExs;
    int checks, check64s;
    uint64_t checkedSectors;
    int writes, writeExs;
    int outputsCreated, outputsFreed;
    void* lastHostArgument;
    const uint8_t* lastUsedBits;
    uint8_t usedBitsCopy[8];
    int lastUsedBitsNull;
    uint8_t writtenFirstByte;  // first byte the writer read from the source
    uint64_t writtenSectors;   // total the writer saw
    int writerCancelled;       // the cancel adapter told the writer to stop
    int mapBitsResult;         // result of the map record's used bits
    uint8_t mapBitsFirst;
    // The host callbacks, exercised by "_22" when built with -DWITH_PAGES.
    int hostQueryRunning;  // what the query-running callback answered
    int hostGuiCall;       // what the call-on-GUI callback answered (value x 2 expected)
    int hostGuiCallOnGui;  // the called function ran on the thread that built the pages
    int selectorResult;    // the disk selector's answer
    void* selectorData;    // the data of the item picked there
    int pageDialogResult;  // the page dialog's answer
    int pageResults[16];   // answers of the page functions called with bad arguments
    int emptyListIndex;    // selection of an empty list
    void* emptyListData;
    int radioSelected;  // the radio group's selection read on accept
    int listIndex;      // the list's selection read on accept
    void* listData;
    int radioCommands;    // calls of the radio handler
    uint64_t radioValue;  // the value it was registered with
};

}  // extern "C"
