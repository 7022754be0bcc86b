// The look-ups of a queue, by name as a job begins: whether it exists (the scheduler's answer for
// the queue, an lpoptions instance printing on its queue) and whether it accepts jobs; what it
// is, for the advertisement; and the parts of a request about a queue or a job that every exchange
// shares.

#include "cups_ipp.h"

#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <stdio.h>
#include <string.h>

// Formats the job-uuid the relay gives a job from its hold tag.
void FormatJobUuid(char *uuid, size_t capacity, const char *tag) {
    snprintf(uuid, capacity, "urn:uuid:%s", tag);
}

// Starts a request naming the destination by its URI and the relay's user as the requester.
ipp_t *NewQueueRequest(ipp_op_t operation, const char *queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", NULL, "localhost", ippPort(),
                     "/printers/%s", queue);
    ipp_t *request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", NULL, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", NULL,
                 cupsUser());
    return request;
}

// Asks the scheduler itself about /printers/<wanted>, which cupsd answers for classes too: only
// its answer can tell that a queue does not exist, as libcups leaves "not found" as its last
// error also when the scheduler hung up on it, as cupsd does while it restarts.
static CupsVerdict AskForQueue(http_t *connection, const char *wanted, char *name, size_t capacity,
                               CupsAnswer *answer) {
    static const char *const attributes[] = {"printer-name"};
    char queue[256];
    snprintf(queue, sizeof queue, "%s", wanted);
    queue[strcspn(queue, "/")] = '\0'; // an lpoptions instance ("office/draft") prints on office
    ipp_t *request = NewQueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 1, NULL,
                  attributes);
    ipp_t *response = cupsDoRequest(connection, request, "/");
    ipp_attribute_t *found = ippFindAttribute(response, "printer-name", IPP_TAG_NAME);
    if (response != NULL && ippGetStatusCode(response) == IPP_STATUS_ERROR_NOT_FOUND)
        Answer(answer, CUPS_PERMANENT, "no such queue (client-error-not-found)");
    else if (found != NULL && ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE)
        Answer(answer, CUPS_TAKEN, "");
    else
        AnswerResponse(answer, response);
    if (answer->verdict == CUPS_TAKEN && found == NULL)
        Answer(answer, CUPS_TEMPORARY, "no answer from the scheduler");
    if (answer->verdict == CUPS_TAKEN)
        snprintf(name, capacity, "%s", ippGetString(found, 0, NULL));
    ippDelete(response);
    return answer->verdict;
}

// Shows in the unit's status whether the queue the relay serves exists; a datagram only when
// that changes.
static void ShowQueueFound(const char *wanted, bool found) {
    static bool Missing;
    char status[400];
    if (found && Missing)
        NotifyHostRelaying();
    else if (!found) {
        snprintf(status, sizeof status, "CUPS has no queue %s: every job is dropped", wanted);
        NotifyHostStatus(status);
    }
    Missing = !found;
}

// Looks the destination up with the scheduler's own answer alone: libcups's look-up
// (cupsGetNamedDest) asks for the default destination on a connection of its own, bounded only by
// libcups's 60 s, which a hung scheduler spends in full while the client waits.
CupsVerdict CupsFindQueue(http_t *connection, const char *wanted, char *name, size_t capacity,
                          CupsAnswer *answer) {
    BeginStep();
    CupsVerdict verdict = AskForQueue(connection, wanted, name, capacity, answer);
    if (verdict != CUPS_TEMPORARY)
        ShowQueueFound(wanted, verdict == CUPS_TAKEN);
    return verdict;
}

// Asks, in one step of the exchange, for two of the queue's attributes; the caller frees the
// response, which is NULL when the scheduler did not answer.
static ipp_t *AskQueueFor(http_t *connection, const char *queue, const char *const wanted[2]) {
    BeginStep();
    ipp_t *request = NewQueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, NULL,
                  wanted);
    return cupsDoRequest(connection, request, "/");
}

// Asks for printer-is-accepting-jobs.
CupsVerdict CupsQueueAccepts(http_t *connection, const char *queue, CupsAnswer *answer) {
    static const char *const wanted[] = {"printer-is-accepting-jobs", "printer-state-message"};
    ipp_t *response = AskQueueFor(connection, queue, wanted);
    ipp_attribute_t *accepting =
        ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    if (accepting == NULL)
        AnswerResponse(answer, response);
    else if (ippGetBoolean(accepting, 0))
        Answer(answer, CUPS_TAKEN, "");
    else
        Answer(answer, CUPS_PERMANENT, "the queue is not accepting jobs");
    if (accepting == NULL && answer->verdict == CUPS_TAKEN)
        Answer(answer, CUPS_TEMPORARY, "no answer from the scheduler");
    ippDelete(response);
    return answer->verdict;
}

// Copies the text of a response's attribute, if the scheduler gave it.
static void CopyText(ipp_t *response, const char *attribute, char *text, size_t capacity) {
    const char *value = ippGetString(ippFindAttribute(response, attribute, IPP_TAG_ZERO), 0, NULL);
    if (value != NULL)
        snprintf(text, capacity, "%s", value);
}

// Asks for the queue's make and model and its location; the raw queue's model says nothing.
void CupsDescribeQueue(http_t *connection, const char *queue, char *model, size_t modelSize,
                       char *location, size_t locationSize) {
    static const char *const wanted[] = {"printer-make-and-model", "printer-location"};
    ipp_t *response = AskQueueFor(connection, queue, wanted);
    CopyText(response, "printer-make-and-model", model, modelSize);
    CopyText(response, "printer-location", location, locationSize);
    if (strcmp(model, "Local Raw Printer") == 0)
        model[0] = '\0';
    ippDelete(response);
}
