// The search for a job by its UUID, before a job that may have reached the scheduler is sent
// again. It is classed apart from the other answers: the job is absent only from a list of the
// queue's jobs that lacks it, or from the scheduler's word that the queue does not exist; every
// other answer (refused, not authorised, busy, out of reach, no answer, a job listed without its
// UUID) leaves the question open.

#include "cups_ipp.h"

#include <stdio.h>
#include <string.h>

// Finds the first job listed with the UUID: its id, or 0; *unknown when a job came without its
// UUID. Each job is a group of attributes; a group ends at a separator, at another group's tag
// or at the end.
static int JobWithUuid(ipp_t *response, const char *uuid, bool *unknown) {
    int id = 0, found = 0;
    bool match = false, uuidSeen = false;
    ipp_tag_t group = IPP_TAG_ZERO;
    *unknown = false;
    for (ipp_attribute_t *a = ippFirstAttribute(response);; a = ippNextAttribute(response)) {
        const char *name = a != NULL ? ippGetName(a) : NULL;
        bool newGroup = a != NULL && ippGetGroupTag(a) != group;
        if (a != NULL)
            group = ippGetGroupTag(a);
        if (name == NULL || newGroup) {
            if (match && found == 0)
                found = id;
            *unknown = *unknown || (id != 0 && !uuidSeen);
            id = 0;
            match = uuidSeen = false;
            if (a == NULL)
                return found;
        }
        if (name != NULL && strcmp(name, "job-id") == 0) {
            id = ippGetInteger(a, 0);
        } else if (name != NULL && strcmp(name, "job-uuid") == 0) {
            const char *value = ippGetString(a, 0, NULL);
            uuidSeen = value != NULL;
            match = value != NULL && strcmp(value, uuid) == 0;
        }
    }
}

// Leaves the question open after a search the scheduler did not answer with a list.
static CupsSearch SearchFailed(CupsAnswer *answer) {
    char why[160], reason[sizeof answer->reason];
    memcpy(why, answer->reason, sizeof why - 1); // the array is longer; cut, not overrun
    why[sizeof why - 1] = '\0';
    snprintf(reason, sizeof reason, "the search for the job before sending it again failed: %s",
             why);
    Answer(answer, CUPS_TEMPORARY, reason);
    return CUPS_JOB_UNKNOWN;
}

// Searches the queue's jobs, ended ones included, for the UUID.
CupsSearch CupsFindJob(http_t *connection, const char *queue, const char *tag, CupsAnswer *answer) {
    BeginStep();
    static const char *const wanted[] = {"job-id", "job-uuid"};
    char uuid[64];
    FormatJobUuid(uuid, sizeof uuid, tag);
    ipp_t *request = NewQueueRequest(IPP_OP_GET_JOBS, queue);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", NULL, "all");
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, NULL,
                  wanted);
    ipp_t *response = cupsDoRequest(connection, request, "/");
    AnswerResponse(answer, response);
    bool noQueue = response != NULL && ippGetStatusCode(response) == IPP_STATUS_ERROR_NOT_FOUND;
    bool listed = !noQueue && answer->verdict == CUPS_TAKEN;
    bool unknown = false;
    answer->jobId = listed ? JobWithUuid(response, uuid, &unknown) : 0;
    ippDelete(response);
    // A queue the scheduler says does not exist holds no job, and a job sent to it cannot print.
    if (noQueue)
        return CUPS_JOB_ABSENT;
    // Only a list of the queue's jobs can tell that the job is not there: a refusal (a policy
    // that asks for a password on Get-Jobs) or a failure must not send the job a second time.
    if (!listed)
        return SearchFailed(answer);
    if (answer->jobId != 0)
        return CUPS_JOB_FOUND;
    if (unknown) {
        Answer(answer, CUPS_TEMPORARY,
               "the scheduler lists jobs without their job-uuid: the search cannot tell");
        return CUPS_JOB_UNKNOWN;
    }
    Answer(answer, CUPS_PERMANENT, "the scheduler has no such job");
    return CUPS_JOB_ABSENT;
}
