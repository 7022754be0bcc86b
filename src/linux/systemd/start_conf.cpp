// The conf's lines: the subset of systemd's environment-file syntax that 1.2's confs could use,
// read strictly, so that a typo in a name or a line that systemd would have skipped in silence
// is refused with the file, the line and the reason instead of leaving a setting unset.

#include "start_conf.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static const char *const Names[CONF_NAME_COUNT] = {
    "PRINTER",
    "ADVERTISE",
    "DNSSD_NAME",
    "CUPS_SERVER",
    "CUPS_USER",
    "FERROLINK_SPOOLER",
    "FERROLINK_ROOT",
    "IDLE_TIMEOUT",
    "FERROLINK_ADVERTISE",
    "FERROLINK_DNSSD_NAME",
    "JOURNAL_STREAM",
    "FERROLINK_IDLE_TIMEOUT",
};

// Gives the name as the conf writes it.
const char *ConfNameText(ConfName name) {
    return Names[name];
}

// Writes one line to standard error; a line break in the data would start a journal entry.
void SayLine(const char *format, ...) {
    char line[CONF_REASON_SIZE + 128];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    for (char *at = line; *at != '\0'; at++)
        if ((unsigned char)*at < 0x20)
            *at = '?';
    fprintf(stderr, "%s\n", line);
}

// The length of the UTF-8 sequence at text (at most length bytes), 0 when it is not one.
static size_t SequenceLength(const unsigned char *c, size_t length) {
    if (c[0] < 0x80)
        return 1;
    size_t size = c[0] >= 0xF0 ? 4 : c[0] >= 0xE0 ? 3 : c[0] >= 0xC2 ? 2 : 0;
    if (size == 0 || c[0] > 0xF4 || size > length)
        return 0;
    for (size_t i = 1; i < size; i++)
        if ((c[i] & 0xC0) != 0x80)
            return 0;
    bool overlong = (c[0] == 0xE0 && c[1] < 0xA0) || (c[0] == 0xF0 && c[1] < 0x90);
    bool surrogate = c[0] == 0xED && c[1] >= 0xA0;
    bool tooHigh = c[0] == 0xF4 && c[1] >= 0x90;
    return overlong || surrogate || tooHigh ? 0 : size;
}

// Checks UTF-8 sequence by sequence.
bool IsUtf8(const char *text, size_t length) {
    const unsigned char *c = (const unsigned char *)text;
    for (size_t at = 0; at < length;) {
        size_t size = SequenceLength(c + at, length - at);
        if (size == 0)
            return false;
        at += size;
    }
    return true;
}

// True for the blanks systemd strips around names and values.
static bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Finds the known name of the given text; CONF_NAME_COUNT when there is none.
static ConfName FindName(const char *text, size_t length) {
    for (int i = 0; i < CONF_NAME_COUNT; i++)
        if (strlen(Names[i]) == length && memcmp(Names[i], text, length) == 0)
            return (ConfName)i;
    return CONF_NAME_COUNT;
}

// True for a name systemd takes: a letter or _ first, then letters, digits and _.
static bool IsNameText(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9'))
            return false;
    }
    return length > 0;
}

// Reads a quoted value (the quote at *from); NULL, or the reason it is not one.
static const char *QuotedValue(const char *from, const char *end, char *value, size_t *size) {
    char quote = *from++;
    *size = 0;
    for (; from < end && *from != quote; from++) {
        if (quote == '"' && *from == '\\' && from + 1 < end && strchr("\"\\`$", from[1]) != NULL)
            from++;
        if (*size + 1 >= CONF_VALUE_SIZE)
            return "the value is longer than 511 bytes";
        value[(*size)++] = *from;
    }
    if (from >= end)
        return "its quote is not closed on the line";
    for (from++; from < end; from++)
        if (!IsBlank(*from))
            return "it has more after the value's closing quote";
    return NULL;
}

// Reads a value as the rest of the line, blanks at its end dropped; NULL, or the reason it is not
// one. A backslash keeps the next character; one that ends the line would join the next line.
static const char *BareValue(const char *from, const char *end, bool raw, char *value,
                             size_t *size) {
    size_t kept = 0;
    *size = 0;
    for (; from < end; from++) {
        bool escaped = !raw && *from == '\\';
        if (escaped && ++from >= end)
            return "it ends in a backslash, which would join the next line";
        if (*size + 1 >= CONF_VALUE_SIZE)
            return "the value is longer than 511 bytes";
        value[(*size)++] = *from;
        if (raw || escaped || !IsBlank(*from))
            kept = *size;
    }
    *size = kept;
    return NULL;
}

// Reads NAME=value of one line into name and value; NULL, or the reason the line is not one.
static const char *SplitLine(const char *line, const char *end, bool raw, ConfName *name,
                             char *value) {
    const char *equals = (const char *)memchr(line, '=', (size_t)(end - line));
    if (equals == NULL)
        return "it is neither a line NAME=value nor a comment";
    const char *nameEnd = equals;
    while (!raw && nameEnd > line && IsBlank(nameEnd[-1]))
        nameEnd--;
    if (!IsNameText(line, (size_t)(nameEnd - line)))
        return "it is neither a line NAME=value nor a comment";
    *name = FindName(line, (size_t)(nameEnd - line));
    // The hand-off's own name is no conf's: IDLE_TIMEOUT sets it.
    if (*name == CONF_NAME_COUNT || (!raw && *name == CONF_FERROLINK_IDLE_TIMEOUT))
        return "unknown name";
    const char *from = equals + 1;
    while (!raw && from < end && IsBlank(*from))
        from++;
    size_t size = 0;
    const char *failure = !raw && from < end && (*from == '"' || *from == '\'')
                              ? QuotedValue(from, end, value, &size)
                              : BareValue(from, end, raw, value, &size);
    value[size] = '\0';
    if (failure == NULL && !IsUtf8(value, size))
        failure = "not UTF-8";
    return failure;
}

// True for the advertising values, whose refusal leaves the instance serving unannounced or
// under the default name.
static bool IsAdvertisingName(ConfName name) {
    return name == CONF_ADVERTISE || name == CONF_DNSSD_NAME || name == CONF_FERROLINK_ADVERTISE ||
           name == CONF_FERROLINK_DNSSD_NAME;
}

// Takes one line; false with the reason when the conf must be refused for it.
static bool TakeLine(const char *line, const char *end, int number, const char *file,
                     const char *prefix, bool raw, ConfSettings *settings, char *reason,
                     size_t capacity) {
    while (!raw && line < end && IsBlank(*line))
        line++;
    if (line == end || (!raw && (*line == '#' || *line == ';')))
        return true;
    ConfName name = CONF_NAME_COUNT;
    char value[CONF_VALUE_SIZE];
    const char *failure = memchr(line, '\0', (size_t)(end - line)) != NULL
                              ? "it holds a NUL byte"
                              : SplitLine(line, end, raw, &name, value);
    if (failure != NULL && strcmp(failure, "not UTF-8") == 0 && IsAdvertisingName(name)) {
        SayLine("%s%s line %d: the value of %s is not UTF-8: %s", prefix, file, number, Names[name],
                name == CONF_DNSSD_NAME  ? "the default name is announced"
                : name == CONF_ADVERTISE ? "not advertised"
                                         : "ignored");
        return true;
    }
    if (failure != NULL && strcmp(failure, "unknown name") == 0)
        snprintf(reason, capacity,
                 "%s line %d: unknown name %.*s (known: PRINTER, ADVERTISE, "
                 "DNSSD_NAME, IDLE_TIMEOUT, CUPS_SERVER, CUPS_USER, FERROLINK_SPOOLER, "
                 "FERROLINK_ROOT)",
                 file, number, (int)((const char *)memchr(line, '=', (size_t)(end - line)) - line),
                 line);
    else if (failure != NULL && strcmp(failure, "not UTF-8") == 0)
        snprintf(reason, capacity, "%s line %d: the value of %s is not UTF-8", file, number,
                 Names[name]);
    else if (failure != NULL)
        snprintf(reason, capacity, "%s line %d: %s", file, number, failure);
    if (failure != NULL)
        return false;
    settings->present[name] = true;
    memcpy(settings->value[name], value, sizeof value);
    return true;
}

// Reads the conf line by line; the first line that fails refuses it.
bool ReadConfText(const char *text, size_t length, const char *file, const char *prefix, bool raw,
                  ConfSettings *settings, char *reason, size_t capacity) {
    memset(settings, 0, sizeof *settings);
    reason[0] = '\0';
    const char *end = text + length;
    int number = 1;
    for (const char *line = text; line < end; number++) {
        const char *lineEnd = (const char *)memchr(line, '\n', (size_t)(end - line));
        if (lineEnd == NULL)
            lineEnd = end;
        if (!TakeLine(line, lineEnd, number, file, prefix, raw, settings, reason, capacity))
            return false;
        line = lineEnd + 1;
    }
    return true;
}
