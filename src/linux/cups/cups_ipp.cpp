// The IPP exchange with the scheduler. Statuses are classed as follows (RFC 8011 and
// the statuses CUPS documents for Print-Job); anything not listed is permanent:
//
//   successful-ok*                         taken
//   client-error-not-possible              temporary: CUPS's "Too many active jobs." (MaxJobs)
//                                          and "Quota limit reached." (MaxJobsPerPrinter,
//                                          MaxJobsPerUser, job quotas)
//   client-error-timeout                   temporary: the request was cut off by cupsd's Timeout
//   server-error-internal-error            temporary: also libcups's own "no answer"
//   server-error-service-unavailable       temporary: the scheduler out of reach or stopping
//   server-error-device-error              temporary
//   server-error-temporary-error           temporary
//   server-error-busy                      temporary
//   server-error-too-many-jobs             temporary
//   client-error-not-found                 permanent: no such queue
//   server-error-not-accepting-jobs        permanent: the queue rejects jobs (cupsreject)
//   client-error-request-entity-too-large  permanent: MaxRequestSize (HTTP 413)
//   client-error-document-format-not-supported  permanent
//   client-error-forbidden, -not-authenticated, -not-authorized, cups-authentication-canceled
//                                          permanent: the relay never prompts for a password
//
// A connection that fails or closes before the answer is temporary, and so is a scheduler that
// makes no progress for STALL_LIMIT_SECONDS within one step of the exchange (a chunk, an
// answer): a hung or stopped cupsd, a remote one behind a link that went dark. While a client
// is still sending, each step (and the connect) has a sixth of that bound: a healthy scheduler
// answers in milliseconds, and the client's job is held on disk meanwhile, so that giving the
// scheduler up costs a resend, never the client's time-out. A stop of the process shortens the
// bound too, so that a stop is not held up by a hung scheduler. FERROLINK_STALL_SECONDS (1 to 60)
// shortens the limit, for tests.
//
// The look-ups of a queue are in cups_queue.cpp, the search for a job by its UUID in
// cups_search.cpp.

#include "cups_ipp.h"

#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum {
    CONNECT_TIMEOUT_MS = 30000,
    LATE_STATUS_WAIT_MS = 1000,
    STALL_CHECK_SECONDS = 1,
    STALL_LIMIT_SECONDS = 60,
    STALL_LIMIT_STOPPING_SECONDS = 10,
};

// The exchange's present step: when it began, and whether it was given up as stalled; and
// whether a client is still sending. The relay talks to the scheduler from one thread at a time.
static time_t StepBegan;
static bool StepStalled;
static bool ClientSending;

// The stall limit, read once: FERROLINK_STALL_SECONDS may only shorten it.
static int StallLimit(void) {
    static int Limit;
    if (Limit == 0) {
        const char *setting = getenv("FERROLINK_STALL_SECONDS");
        long seconds = setting != NULL ? strtol(setting, NULL, 10) : 0;
        Limit = seconds >= 1 && seconds < STALL_LIMIT_SECONDS ? (int)seconds : STALL_LIMIT_SECONDS;
    }
    return Limit;
}

// The bound of the present step: the stall limit, a sixth of it while a client sends, and no
// more than STALL_LIMIT_STOPPING_SECONDS once the process is asked to stop.
static int StepLimit(void) {
    int limit = ClientSending ? (StallLimit() + 5) / 6 : StallLimit();
    if (HostStopRequested() && limit > STALL_LIMIT_STOPPING_SECONDS)
        limit = STALL_LIMIT_STOPPING_SECONDS;
    return limit;
}

// Says whether a client is still sending, which shortens each step's bound.
void CupsClientSending(bool sending) {
    ClientSending = sending;
}

// Begins a step of the exchange; the bound on a silent scheduler counts from here.
void BeginStep(void) {
    StepBegan = HostSeconds();
    StepStalled = false;
}

// libcups calls this after each STALL_CHECK_SECONDS in which the scheduler took or sent nothing;
// 0 gives the request up.
static int KeepWaiting(http_t *, void *) {
    StepStalled = HostSeconds() - StepBegan >= StepLimit();
    return !StepStalled;
}

// Answers every password request with none, so libcups never prompts on a terminal.
static const char *NoPassword(const char *, http_t *, const char *, const char *, void *) {
    return NULL;
}

// Fills the answer.
void Answer(CupsAnswer *answer, CupsVerdict verdict, const char *reason) {
    answer->verdict = verdict;
    answer->jobId = 0;
    answer->maybeTaken = false;
    answer->waited = (long)(HostSeconds() - StepBegan);
    answer->noted = 0;
    snprintf(answer->reason, sizeof answer->reason, "%s", reason);
}

// Classes an IPP status; see the table at the top of this file.
static CupsVerdict ClassifyStatus(ipp_status_t status) {
    if (status <= IPP_STATUS_OK_EVENTS_COMPLETE)
        return CUPS_TAKEN;
    switch (status) {
    case IPP_STATUS_ERROR_NOT_POSSIBLE:
    case IPP_STATUS_ERROR_TIMEOUT:
    case IPP_STATUS_ERROR_INTERNAL:
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
    case IPP_STATUS_ERROR_DEVICE:
    case IPP_STATUS_ERROR_TEMPORARY:
    case IPP_STATUS_ERROR_BUSY:
    case IPP_STATUS_ERROR_TOO_MANY_JOBS:
        return CUPS_TEMPORARY;
    default:
        return CUPS_PERMANENT;
    }
}

// Classes an HTTP status that ended a request before its IPP answer.
static CupsVerdict ClassifyHttp(http_status_t status) {
    switch (status) {
    case HTTP_STATUS_BAD_REQUEST:
    case HTTP_STATUS_UNAUTHORIZED:
    case HTTP_STATUS_FORBIDDEN:
    case HTTP_STATUS_NOT_FOUND:
    case HTTP_STATUS_REQUEST_TOO_LARGE:
    case HTTP_STATUS_UNSUPPORTED_MEDIATYPE:
    case HTTP_STATUS_UPGRADE_REQUIRED:
    case HTTP_STATUS_CUPS_AUTHORIZATION_CANCELED:
        return CUPS_PERMANENT;
    default:
        return CUPS_TEMPORARY;
    }
}

// Fills the answer of a step given up because the scheduler stayed silent: temporary.
static void AnswerStalled(CupsAnswer *answer) {
    char reason[100];
    snprintf(reason, sizeof reason, "the scheduler made no progress for %lld s",
             (long long)(HostSeconds() - StepBegan));
    Answer(answer, CUPS_TEMPORARY, reason);
}

// Fills the answer from an HTTP status that ended a request early.
static void AnswerHttp(CupsAnswer *answer, http_status_t status) {
    char reason[200];
    if (StepStalled) {
        AnswerStalled(answer);
        return;
    }
    if (status == HTTP_STATUS_ERROR)
        snprintf(reason, sizeof reason, "connection to the scheduler lost (%s)",
                 cupsLastErrorString());
    else
        snprintf(reason, sizeof reason, "HTTP %d %s", (int)status, httpStatus(status));
    Answer(answer, ClassifyHttp(status), reason);
}

// Fills the answer from an IPP response, or from libcups's last error when there is none.
void AnswerResponse(CupsAnswer *answer, ipp_t *response) {
    char reason[256];
    if (response == NULL && StepStalled) {
        AnswerStalled(answer);
        return;
    }
    if (response == NULL) {
        ipp_status_t last = cupsLastError();
        // Without a response a "not found" is libcups's leftover, not the scheduler's word.
        CupsVerdict verdict =
            last <= IPP_STATUS_OK_EVENTS_COMPLETE || last == IPP_STATUS_ERROR_NOT_FOUND
                ? CUPS_TEMPORARY
                : ClassifyStatus(last);
        snprintf(reason, sizeof reason, verdict == CUPS_PERMANENT ? "%s" : "no answer (%s)",
                 cupsLastErrorString());
        Answer(answer, verdict, reason);
        return;
    }
    ipp_status_t status = ippGetStatusCode(response);
    ipp_attribute_t *message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT);
    snprintf(reason, sizeof reason, "%s (%s)",
             message != NULL ? ippGetString(message, 0, NULL) : ippErrorString(status),
             ippErrorString(status));
    Answer(answer, ClassifyStatus(status), reason);
}

// Connects, never prompting.
http_t *CupsConnect(CupsAnswer *answer) {
    BeginStep();
    cupsSetPasswordCB2(NoPassword, NULL); // libcups keeps the callback per thread
    int limitMs = StepLimit() * 1000;
    http_t *connection =
        httpConnect2(cupsServer(), ippPort(), NULL, AF_UNSPEC, cupsEncryption(), 1,
                     limitMs < CONNECT_TIMEOUT_MS ? limitMs : CONNECT_TIMEOUT_MS, NULL);
    if (connection != NULL)
        httpSetTimeout(connection, STALL_CHECK_SECONDS, KeepWaiting, NULL);
    if (connection == NULL) {
        char reason[200];
        snprintf(reason, sizeof reason, "the scheduler (%s) is out of reach", cupsServer());
        Answer(answer, CUPS_TEMPORARY, reason);
    }
    return connection;
}

// Peeks at an idle connection.
bool CupsPeerClosed(http_t *connection) {
    char byte;
    ssize_t got = recv(httpGetFd(connection), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Opens the Print-Job request.
bool CupsBeginJob(http_t *connection, const char *queue, const char *title, const char *host,
                  const char *tag, CupsAnswer *answer) {
    BeginStep();
    char uuid[64];
    ipp_t *request = NewQueueRequest(IPP_OP_PRINT_JOB, queue);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", NULL, title);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", NULL,
                 CUPS_FORMAT_RAW);
    if (host[0] != '\0')
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-host-name", NULL, host);
    // cupsd keeps a job-uuid given by its client: the job can be found again by it.
    FormatJobUuid(uuid, sizeof uuid, tag);
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", NULL, uuid);
    http_status_t status = cupsSendRequest(connection, request, "/", CUPS_LENGTH_VARIABLE);
    ippDelete(request);
    if (status == HTTP_STATUS_CONTINUE)
        return true;
    AnswerHttp(answer, status);
    return false;
}

// Reads the status the scheduler sent before it stopped reading a request (HTTP 413 for one
// over MaxRequestSize, for example); HTTP_STATUS_ERROR when it sent none.
static http_status_t LateStatus(http_t *connection) {
    if (!httpWait(connection, LATE_STATUS_WAIT_MS))
        return HTTP_STATUS_ERROR;
    http_status_t status;
    while ((status = httpUpdate(connection)) == HTTP_STATUS_CONTINUE)
        ;
    return status >= HTTP_STATUS_BAD_REQUEST ? status : HTTP_STATUS_ERROR;
}

// Sends one chunk and flushes it, so that the scheduler's Timeout sees the bytes.
bool CupsSendChunk(http_t *connection, const char *data, size_t size, CupsAnswer *answer) {
    BeginStep();
    // A write of nothing would end the chunked request early.
    http_status_t status = HTTP_STATUS_CONTINUE;
    if (size > 0)
        status = cupsWriteRequestData(connection, data, size);
    if (status == HTTP_STATUS_CONTINUE && httpFlushWrite(connection) < 0)
        status = HTTP_STATUS_ERROR;
    if (status == HTTP_STATUS_CONTINUE)
        return true;
    if (status == HTTP_STATUS_ERROR)
        status = LateStatus(connection);
    AnswerHttp(answer, status);
    return false;
}

// Ends the request and reads the answer.
void CupsEndJob(http_t *connection, CupsAnswer *answer) {
    BeginStep();
    if (httpFlushWrite(connection) < 0) {
        AnswerHttp(answer, HTTP_STATUS_ERROR);
        return;
    }
    // From here the scheduler may have made the job even when its answer never arrives.
    ipp_t *response = cupsGetResponse(connection, "/");
    AnswerResponse(answer, response);
    answer->maybeTaken = response == NULL;
    ipp_attribute_t *id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
    answer->jobId = id != NULL ? ippGetInteger(id, 0) : 0;
    ippDelete(response);
}
