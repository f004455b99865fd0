// Code tables of JIS X 0208 and JIS X 0212 (constant data, generated into jis_tables.cpp
// by tools/gen_jis_tables.py).
//
// Forward tables: 94 x 94 Unicode code points indexed by (row - 0x21) * 94 + (cell - 0x21)
// for row and cell bytes 0x21-0x7E; 0 means unmapped. Callers check row and cell each
// against 0x21-0x7E before indexing.
//
// Reverse tables: 256 page pointers indexed by the high byte of a BMP code point (NULL for
// a page without mappings), each page 256 row/cell values ((row << 8) | cell) indexed by the
// low byte; 0 means unmapped. They are the exact inverses of the forward tables.
#pragma once

#include <cstdint>

enum { JIS_TABLE_SIZE = 94 * 94 };

extern const uint16_t Jis_X0208ToUnicode[JIS_TABLE_SIZE];
extern const uint16_t Jis_X0212ToUnicode[JIS_TABLE_SIZE];
extern const uint16_t* const Jis_UnicodeToX0208Pages[256];
extern const uint16_t* const Jis_UnicodeToX0212Pages[256];
