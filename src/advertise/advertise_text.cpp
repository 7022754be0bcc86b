// Advertising's text: code-page conversions and the cleaning of every name and TXT value shown to
// people, in UTF-8, the encoding both DNS-SD backends take.

#include "advertise/advertise_internal.h"

#include "common/common.h"

#include <string.h>

// Code points removed from a name or value: line breaks and format characters, which show as
// nothing or turn the text around (C0, DEL and C1 are removed before this table is asked).
static const unsigned int Removed[][2] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE007F},
};

// Code points that are spaces, for the test of a blank name.
static const unsigned int Spaces[][2] = {
    {0x0020, 0x0020}, {0x00A0, 0x00A0}, {0x1680, 0x1680}, {0x2000, 0x200A},
    {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

// True when a code point is in one of the ranges of a table.
static bool InRanges(unsigned int point, const unsigned int (*ranges)[2], size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (point >= ranges[i][0] && point <= ranges[i][1])
            return true;
    }
    return false;
}

// The code point at text, of at most available bytes, and its length; U+FFFD, one byte long,
// for a byte that starts no valid sequence.
static unsigned int NextPoint(const unsigned char *text, size_t available, size_t *length) {
    unsigned int c = text[0];
    size_t need = c >= 0xF0 && c <= 0xF4  ? 3
                  : c >= 0xE0 && c < 0xF0 ? 2
                  : c >= 0xC2 && c < 0xE0 ? 1
                                          : 0;
    *length = 1;
    if (c < 0x80)
        return c;
    if (need == 0 || need >= available)
        return 0xFFFD;
    unsigned int point = c & (0x3F >> need);
    for (size_t i = 1; i <= need; i++) {
        if ((text[i] & 0xC0) != 0x80)
            return 0xFFFD;
        point = point << 6 | (text[i] & 0x3F);
    }
    bool overlong = (need == 2 && point < 0x800) || (need == 3 && point < 0x10000);
    if (overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0xFFFD;
    *length = need + 1;
    return point;
}

// Copies UTF-8 text without what a name shown to people must not hold, cut on a character.
void CleanText(const char *text, char *clean, size_t capacity, size_t limit) {
    static const char replacement[] = "\xEF\xBF\xBD";
    const unsigned char *bytes = (const unsigned char *)text;
    size_t left = strlen(text), used = 0;
    if (limit + 1 > capacity)
        limit = capacity - 1;
    while (left > 0) {
        size_t length = 1;
        unsigned int point = NextPoint(bytes, left, &length);
        bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F);
        if (!control && !InRanges(point, Removed, sizeof Removed / sizeof Removed[0])) {
            const char *from = point == 0xFFFD && length == 1 ? replacement : (const char *)bytes;
            size_t size = point == 0xFFFD && length == 1 ? 3 : length;
            if (used + size > limit)
                break;
            memcpy(clean + used, from, size);
            used += size;
        }
        bytes += length;
        left -= length;
    }
    clean[used] = '\0';
}

// True when UTF-8 text is empty or only spaces.
bool IsBlank(const char *text) {
    const unsigned char *bytes = (const unsigned char *)text;
    size_t left = strlen(text);
    while (left > 0) {
        size_t length = 1;
        unsigned int point = NextPoint(bytes, left, &length);
        if (!InRanges(point, Spaces, sizeof Spaces / sizeof Spaces[0]))
            return false;
        bytes += length;
        left -= length;
    }
    return true;
}

// Converts text from one code page to another through UTF-16; "" when it cannot be.
static void Recode(UINT from, UINT to, const char *text, char *converted, size_t capacity) {
    WCHAR
        wide[ADVERT_WORK_SIZE]; // on the stack: the log's conversion runs on the responder's thread
    if (GetACP() == CP_UTF8) {  // nothing to convert: UTF-8 on both sides
        FormatBounded(converted, capacity, "%s", text);
        return;
    }
    if (MultiByteToWideChar(from, 0, text, -1, wide, ADVERT_WORK_SIZE) <= 0 ||
        WideCharToMultiByte(to, 0, wide, -1, converted, (int)capacity, NULL, NULL) <= 0)
        converted[0] = '\0';
}

// Converts text of the active code page to UTF-8.
void AnsiToUtf8(const char *ansi, char *utf8, size_t capacity) {
    Recode(CP_ACP, CP_UTF8, ansi, utf8, capacity);
}

// Converts UTF-8 to the active code page, for the log.
void Utf8ToAnsi(const char *utf8, char *ansi, size_t capacity) {
    Recode(CP_UTF8, CP_ACP, utf8, ansi, capacity);
}
