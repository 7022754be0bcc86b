// Advertising's TXT record, from what the spooler knows of the printer: the make and model of its
// driver, the driver's manufacturer, the languages the model names, and the location.
//
// The keys follow Bonjour printing: txtvers, qtotal, pdl, ty, product, usb_MFG and usb_MDL (which
// a Mac and CUPS use to tell the make from the model and to choose a driver) and note. Where the
// driver is not known, the printer's name stands for the model, and its first word for the make,
// as CUPS itself would guess; a key whose value would be empty is left out.

#include "advertise/advertise_internal.h"

#include "common/common.h"

#include <string.h>
#include <strings.h>

enum {
    SPOOLER_INFO_SIZE = 128 * 1024, // level 2 with the largest device mode, or a driver's level 6
};

// What the spooler told of the printer, UTF-8 and cleaned; "" for what it did not.
struct PrinterFacts {
    char model[ADVERT_TXT_SIZE];
    char maker[ADVERT_TXT_SIZE];
    char location[ADVERT_TXT_SIZE];
};

static BYTE SpoolerInfo[SPOOLER_INFO_SIZE];

// Asks the spooler for the printer's level 2, or its driver's level 6, with the size it asks
// for; NULL when it tells nothing or needs more than the buffer holds.
static const BYTE *AskSpooler(HANDLE printer, bool driver) {
    DWORD needed = 0;
    BOOL told = driver ? GetPrinterDriverA(printer, NULL, 6, NULL, 0, &needed)
                       : GetPrinterA(printer, 2, NULL, 0, &needed);
    if (told || GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed > SPOOLER_INFO_SIZE)
        return NULL;
    told = driver ? GetPrinterDriverA(printer, NULL, 6, SpoolerInfo, needed, &needed)
                  : GetPrinterA(printer, 2, SpoolerInfo, needed, &needed);
    return told ? SpoolerInfo : NULL;
}

// Copies spooler text into a field, UTF-8 and cleaned.
static void TakeText(const char *text, char *field) {
    char utf8[ADVERT_WORK_SIZE];
    AnsiToUtf8(text != NULL ? text : "", utf8, sizeof utf8);
    CleanText(utf8, field, ADVERT_TXT_SIZE, ADVERT_TXT_BYTES);
}

// Fills the facts the spooler knows of the configured printer.
static void AskPrinter(PrinterFacts *facts) {
    HANDLE printer = NULL;
    facts->model[0] = facts->maker[0] = facts->location[0] = '\0';
    if (PrinterName[0] == '\0' || !OpenPrinterA(PrinterName, &printer, NULL))
        return;
    const PRINTER_INFO_2A *details = (const PRINTER_INFO_2A *)AskSpooler(printer, false);
    if (details != NULL) {
        TakeText(details->pDriverName, facts->model);
        TakeText(details->pLocation, facts->location);
    }
    const DRIVER_INFO_6A *driver = (const DRIVER_INFO_6A *)AskSpooler(printer, true);
    if (driver != NULL && facts->model[0] != '\0')
        TakeText(driver->pszMfgName, facts->maker);
    ClosePrinter(printer);
}

// True when a model names a word: preceded by a space or the start, and followed by no letter.
static bool NamesWord(const char *model, const char *word) {
    size_t length = strlen(word);
    for (const char *at = strstr(model, word); at != NULL; at = strstr(at + 1, word)) {
        char after = at[length];
        bool letterAfter = (after >= 'A' && after <= 'Z') || (after >= 'a' && after <= 'z');
        if ((at == model || at[-1] == ' ') && !letterAfter)
            return true;
    }
    return false;
}

// The printer languages a make and model names, as MIME types; a byte stream when it names none.
static const char *LanguagesOf(const char *model) {
    bool postScript = strstr(model, "PostScript") != NULL || NamesWord(model, "PS");
    bool pcl = strstr(model, "PCL") != NULL;
    if (postScript && pcl)
        return "application/postscript,application/vnd.hp-PCL";
    if (postScript)
        return "application/postscript";
    if (pcl)
        return "application/vnd.hp-PCL";
    return "application/octet-stream";
}

// Splits a model into usb_MFG and usb_MDL: the driver's maker where known, else the model's
// first word; the model without the make, or whole when nothing is left.
static void SplitMake(const char *maker, const char *model, char *make, char *rest) {
    size_t makeLength = strcspn(model, " ");
    if (maker[0] != '\0') {
        makeLength = strlen(maker);
        if (strncasecmp(model, maker, makeLength) != 0 ||
            (model[makeLength] != ' ' && model[makeLength] != '\0'))
            makeLength = 0; // the model does not begin with the maker: it stays whole
    }
    if (maker[0] != '\0')
        FormatBounded(make, ADVERT_TXT_SIZE, "%s", maker);
    else
        FormatBounded(make, ADVERT_TXT_SIZE, "%.*s", (int)makeLength, model);
    const char *left = model + makeLength;
    left += strspn(left, " ");
    FormatBounded(rest, ADVERT_TXT_SIZE, "%s", left[0] != '\0' ? left : model);
}

// Adds one key=value string, the value cut so that the string stays within 255 bytes; an empty
// value adds nothing.
static void AddProperty(Advertisement *advert, const char *key, const char *value) {
    if (value[0] == '\0' || advert->txtCount >= ADVERT_TXT_COUNT)
        return;
    int at = advert->txtCount++;
    FormatBounded(advert->keys[at], sizeof advert->keys[at], "%s", key);
    CleanText(value, advert->values[at], ADVERT_TXT_SIZE, ADVERT_TXT_BYTES - strlen(key) - 1);
}

// Fills the TXT record from what the spooler knows of the printer.
void DescribePrinter(Advertisement *advert) {
    PrinterFacts facts;
    char shown[ADVERT_TXT_SIZE], make[ADVERT_TXT_SIZE], rest[ADVERT_TXT_SIZE];
    char product[ADVERT_TXT_SIZE] = "";
    AskPrinter(&facts);
    if (facts.model[0] != '\0')
        FormatBounded(shown, sizeof shown, "%s", facts.model);
    else
        TakeText(PrinterName, shown);
    SplitMake(facts.maker, shown, make, rest);
    if (shown[0] != '\0') { // "(" and ")" around a model cut to fit "product=(...)"
        CleanText(shown, product + 1, sizeof product - 1, ADVERT_TXT_BYTES - 10);
        product[0] = '(';
        strcat(product, ")");
    }
    advert->txtCount = 0;
    AddProperty(advert, "txtvers", "1");
    AddProperty(advert, "qtotal", "1");
    AddProperty(advert, "pdl", LanguagesOf(facts.model));
    AddProperty(advert, "ty", shown);
    AddProperty(advert, "product", product);
    AddProperty(advert, "usb_MFG", make);
    AddProperty(advert, "usb_MDL", rest);
    AddProperty(advert, "note", facts.location);
}
