// The look-ups of a queue, by name as a job begins: whether it exists (libcups's look-up, which
// knows instances and lpoptions, then the scheduler's own answer) and whether it accepts jobs.

#include "cups_ipp.h"

#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <stdio.h>
#include <string.h>

// Asks the scheduler itself about /printers/<wanted>, which cupsd answers for classes too: only
// its answer can tell that a queue does not exist. libcups's own look-up leaves "not found" as
// its last error also when the scheduler hung up on it, as cupsd does while it restarts.
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

// Looks the destination up: libcups's look-up first (it knows instances and lpoptions), then
// the scheduler's own answer when that finds nothing.
CupsVerdict CupsFindQueue(http_t *connection, const char *wanted, char *name, size_t capacity,
                          CupsAnswer *answer) {
    BeginStep();
    cups_dest_t *destination = cupsGetNamedDest(connection, wanted, NULL);
    if (destination == NULL) {
        CupsVerdict verdict = AskForQueue(connection, wanted, name, capacity, answer);
        if (verdict != CUPS_TEMPORARY)
            ShowQueueFound(wanted, verdict == CUPS_TAKEN);
        return verdict;
    }
    snprintf(name, capacity, "%s", destination->name);
    cupsFreeDests(1, destination);
    Answer(answer, CUPS_TAKEN, "");
    ShowQueueFound(wanted, true);
    return CUPS_TAKEN;
}

// Asks for printer-is-accepting-jobs.
CupsVerdict CupsQueueAccepts(http_t *connection, const char *queue, CupsAnswer *answer) {
    BeginStep();
    static const char *const wanted[] = {"printer-is-accepting-jobs", "printer-state-message"};
    ipp_t *request = NewQueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, NULL,
                  wanted);
    ipp_t *response = cupsDoRequest(connection, request, "/");
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
