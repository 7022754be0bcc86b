// Host layer: code pages, the wide command line, wide registry reads and the conversions.
//
// Text on Linux is UTF-8 throughout: the active code page is UTF-8, so the ANSI arguments are
// exactly what was typed. The wide command line and registry reads, which the system makes only
// under another code page, are therefore not offered and fail with ERROR_CALL_NOT_IMPLEMENTED.
// The conversions between UTF-8 and UTF-16 are, for the wide strings of the DNS-SD calls; a byte
// that is not UTF-8 becomes U+FFFD, as on Windows.

#include "win32.h"

#include "host_internal.h"

#include <string.h>

// Reports UTF-8 as the active code page.
UINT GetACP(void) {
    return CP_UTF8;
}

// Tells whether a byte opens a two-byte character: UTF-8 has no such lead bytes.
BOOL IsDBCSLeadByte(BYTE) {
    return FALSE;
}

// No wide command line is kept.
LPWSTR GetCommandLineW(void) {
    SetHostError(ERROR_CALL_NOT_IMPLEMENTED);
    return NULL;
}

// Splits no wide command line.
LPWSTR *CommandLineToArgvW(LPCWSTR, int *count) {
    if (count != NULL)
        *count = 0;
    SetHostError(ERROR_CALL_NOT_IMPLEMENTED);
    return NULL;
}

// The code point of the UTF-8 sequence at text, of at most available bytes, and its length in
// *length; U+FFFD for a byte that starts no valid sequence, or one cut short by the count.
static unsigned int DecodeUtf8(const unsigned char *text, size_t available, size_t *length) {
    unsigned int c = text[0];
    size_t need = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    *length = 1;
    if (c < 0x80)
        return c;
    if (need == 0 || c > 0xF4 || need >= available)
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

// Converts UTF-8 (the active code page) to UTF-16, with its NUL when the count is -1; the units
// written, or 0 with 122 when they do not fit.
int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int count, LPWSTR wide, int size) {
    if ((codePage != CP_ACP && codePage != CP_UTF8) || text == NULL) {
        SetHostError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const unsigned char *bytes = (const unsigned char *)text;
    size_t end = count < 0 ? strlen(text) + 1 : (size_t)count;
    int written = 0;
    for (size_t at = 0; at < end;) {
        size_t length = 1;
        unsigned int point = bytes[at] == 0 ? 0 : DecodeUtf8(bytes + at, end - at, &length);
        int units = point >= 0x10000 ? 2 : 1;
        if (wide != NULL && written + units > size) {
            SetHostError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (wide != NULL && units == 2) {
            wide[written] = (WCHAR)(0xD800 + ((point - 0x10000) >> 10));
            wide[written + 1] = (WCHAR)(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else if (wide != NULL) {
            wide[written] = (WCHAR)point;
        }
        written += units;
        at += length;
    }
    return written;
}

// Encodes a code point as UTF-8; the bytes written.
static int EncodeUtf8(unsigned int point, unsigned char *encoded) {
    int length = 0;
    if (point < 0x80) {
        encoded[length++] = (unsigned char)point;
    } else if (point < 0x800) {
        encoded[length++] = (unsigned char)(0xC0 | point >> 6);
        encoded[length++] = (unsigned char)(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        encoded[length++] = (unsigned char)(0xE0 | point >> 12);
        encoded[length++] = (unsigned char)(0x80 | ((point >> 6) & 0x3F));
        encoded[length++] = (unsigned char)(0x80 | (point & 0x3F));
    } else {
        encoded[length++] = (unsigned char)(0xF0 | point >> 18);
        encoded[length++] = (unsigned char)(0x80 | ((point >> 12) & 0x3F));
        encoded[length++] = (unsigned char)(0x80 | ((point >> 6) & 0x3F));
        encoded[length++] = (unsigned char)(0x80 | (point & 0x3F));
    }
    return length;
}

// Converts UTF-16 to UTF-8 (the active code page), with its NUL when the count is -1; the bytes
// written, or 0 with 122 when they do not fit. A lone surrogate becomes U+FFFD.
int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int count, LPSTR text, int size, LPCSTR,
                        BOOL *usedDefault) {
    if ((codePage != CP_ACP && codePage != CP_UTF8) || wide == NULL) {
        SetHostError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t end = 0;
    if (count < 0) {
        while (wide[end] != 0)
            end++;
        end++;
    } else {
        end = (size_t)count;
    }
    if (usedDefault != NULL)
        *usedDefault = FALSE;
    int written = 0;
    for (size_t at = 0; at < end; at++) {
        unsigned int point = wide[at];
        if (point >= 0xD800 && point <= 0xDBFF && at + 1 < end && wide[at + 1] >= 0xDC00 &&
            wide[at + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (wide[at + 1] - 0xDC00);
            at++;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        unsigned char encoded[4];
        int length = EncodeUtf8(point, encoded);
        if (text != NULL && written + length > size) {
            SetHostError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (text != NULL)
            memcpy(text + written, encoded, (size_t)length);
        written += length;
    }
    return written;
}

// Frees nothing: this layer hands out no local memory.
HLOCAL LocalFree(HLOCAL) {
    return NULL;
}

// Reads no wide registry value.
LSTATUS RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
