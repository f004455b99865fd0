// Paths held in text views of any encoding, in two styles chosen by a flag: the posix style
// (separator "/", root "/") and the Windows style (separator "\", roots "X:\" or "\\server\").
// Image formats store links to other files as paths written by other systems, so both styles
// are split, joined, normalised, validated and made relative whatever the host is. The forms
// without a style flag are the posix ones, used for host paths.
//
// Nothing here allocates (except Path_MakeAbsoluteCStr), keeps state or reports a message:
// operations answer false when the result does not fit or the path is unusable.
#pragma once

#include <cstdint>

#include "foundation/text.h"

// ---- Splitting ----------------------------------------------------------------
// dir = everything up to and including the last separator, name = the rest; without a separator
// dir is empty and name is the whole path. Either output may be null.
void Path_SplitDirStyle(TextView path, TextView* dir, TextView* name, TextEncoding encoding,
                        bool posix);
void Path_SplitDir(TextView path, TextView* dir, TextView* name, TextEncoding encoding);
// dir as above, then the name split at its last "." into stem and extension (without the dot);
// without a dot the stem is the whole name and the extension an empty view at its end.
// Every output may be null.
void Path_SplitStemExtStyle(TextView path, TextView* dir, TextView* stem, TextView* ext,
                            TextEncoding encoding, bool posix);
void Path_SplitStemExt(TextView path, TextView* dir, TextView* stem, TextView* ext,
                       TextEncoding encoding);
void Path_SplitStemExtUtf8(TextView path, TextView* dir, TextView* stem, TextView* ext);

// ---- Separators, suffixes and tests ----------------------------------------------
// "/" when posix is set, else "\", in an encoding (empty for an encoding above 6).
TextView Path_SeparatorStyle(TextEncoding encoding, bool posix);
TextView Path_Separator(TextEncoding encoding);
// The suffixes "_temp" and "_del" rendered in the encoding asked for (constant storage, one
// rendering per encoding; empty for an encoding above 6).
TextView Path_TempSuffix(TextEncoding encoding);
TextView Path_DeleteSuffix(TextEncoding encoding);
// "_TEMP" in UTF-8: the temporary name of a compaction's output (path + suffix, numbered when
// taken), the one place this name is spelled.
TextView Path_CompactSuffix();

// posix: starts with "/"; Windows: starts with an ASCII letter, ":" and "\".
bool Path_IsAbsoluteStyle(TextView path, TextEncoding encoding, bool posix);
bool Path_IsAbsolutePosix(TextView path, TextEncoding encoding);
bool Path_IsAbsoluteWindows(TextView path, TextEncoding encoding);
// True for the empty path; false when one of : , ; * ? " < > | occurs, or "//".
bool Path_IsValid(TextView path, TextEncoding encoding);
// True for the empty path. A leading "X:" must be followed by "\" (checking goes on behind
// those three characters); the rest must not contain / : * ? " < > |, must not start with "\"
// and must not contain "\\" (so UNC paths and rooted paths without a drive are invalid).
bool Path_IsValidWindows(TextView path, TextEncoding encoding);
// Whether the first character of a view equals the first character of a terminated string
// (in the same encoding), ASCII letters compared without case; false when either is empty.
bool Text_FirstCharEqualsNoCase(TextView text, const void* string, TextEncoding encoding);
// Whole-path comparison, character by character and case-sensitive: -1, 0 (same path) or 1.
int Path_Compare(TextView a, TextView b, TextEncoding encoding);
int Path_CompareUtf8(TextView a, TextView b);

// ---- Building ---------------------------------------------------------------------
// Appends the normalised path to result: the root prefix is copied unchanged, "." components
// are dropped, ".." removes the component before it, empty components ("//") and a trailing
// separator are kept. A path ending in "." or ".." loses the separator left at its end.
// Surplus ".." components of a relative path are kept at its front. False, with the result as
// it was, when the path does not fit or a ".." climbs above the root.
bool Path_Normalize(TextView path, TextBuffer* result, TextEncoding encoding, bool posix);
// Resolves path against the directory of the reference path (a file path, not a directory) and
// normalises it into result (both buffers are emptied first; work holds the joined text).
bool Path_MakeAbsoluteEx(TextView path, TextEncoding pathEncoding, TextView reference,
                         TextEncoding referenceEncoding, TextBuffer* work, TextBuffer* result,
                         TextEncoding resultEncoding, bool posix);
bool Path_MakeAbsoluteStyle(TextView path, TextView reference, TextBuffer* work, TextBuffer* result,
                            TextEncoding encoding, bool posix);
bool Path_MakeAbsolute(TextView path, TextView reference, TextBuffer* work, TextBuffer* result,
                       TextEncoding encoding);
// The same for terminated strings (posix): the result is written into result[0..size) and
// terminated. A work area of `size` bytes is allocated for the call. False when memory is
// exhausted, the path cannot be resolved or the result and its terminator do not fit (result
// is then an empty string when it has room for a terminator).
bool Path_MakeAbsoluteCStr(const void* reference, const void* relative, void* result, uint32_t size,
                           TextEncoding encoding);
// Appends the target expressed relative to the directory of the base. Both paths must be
// absolute in the style and lie under the same root: posix paths always do, Windows paths must
// have the same drive letter (compared without case). False otherwise, or when the result does
// not fit (the result is then as it was).
bool Path_MakeRelativeStyle(TextView base, TextView target, TextBuffer* result,
                            TextEncoding encoding, bool posix);
bool Path_MakeRelative(TextView base, TextView target, TextBuffer* result, TextEncoding encoding);
bool Path_MakeRelativeWindows(TextView base, TextView target, TextBuffer* result,
                              TextEncoding encoding);
// Whether Path_MakeRelativeStyle can relate the two paths (it may still fail on a full buffer).
bool Path_CanMakeRelativeStyle(TextView base, TextView target, TextEncoding encoding, bool posix);
bool Path_CanMakeRelative(TextView base, TextView target, TextEncoding encoding);
// Overwrites every occurrence of the pattern in place, left to right, with a replacement of
// the same byte length (for turning one separator into the other). False when the lengths
// differ or the pattern is empty.
bool TextBuffer_ReplaceSameLength(TextBuffer* buffer, TextView pattern, TextView replacement,
                                  TextEncoding encoding);
