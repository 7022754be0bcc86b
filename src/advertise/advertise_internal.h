// The advertising module's own parts: text made fit for a name shown to people, and what the
// spooler tells of the printer. Only the module's files include this.
#pragma once

#include "advertise/dnssd_backend.h"

#include <stddef.h>

enum { ADVERT_WORK_SIZE = 3 * 256 + 1 }; // 255 ANSI characters as UTF-8, and the NUL

// Converts text of the active code page to UTF-8; "" when it cannot be converted.
void AnsiToUtf8(const char *ansi, char *utf8, size_t capacity);

// Converts UTF-8 to text of the active code page, for the log; "" when it cannot be converted.
void Utf8ToAnsi(const char *utf8, char *ansi, size_t capacity);

// Copies UTF-8 text without its control characters (C0, DEL, C1), format characters (bidi
// controls, zero widths, the soft hyphen) and line separators, a bad sequence made U+FFFD, cut to
// at most limit bytes on a character boundary.
void CleanText(const char *text, char *clean, size_t capacity, size_t limit);

// True when UTF-8 text holds nothing but spaces.
bool IsBlank(const char *text);

// Fills the TXT record from what the spooler knows of the printer.
void DescribePrinter(Advertisement *advert);
