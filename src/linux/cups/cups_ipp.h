// The IPP exchange with the scheduler behind the CUPS spooler (cups_ipp.cpp, and the search in
// cups_search.cpp): connecting, looking a
// queue up, one Print-Job request streamed in chunks, and looking a job up by its UUID. Every
// answer is classed as taken, temporary (waiting may cure it) or permanent, with its reason.
#pragma once

#include <cups/cups.h>
#include <stddef.h>

enum CupsVerdict { CUPS_TAKEN, CUPS_TEMPORARY, CUPS_PERMANENT };

struct CupsAnswer {
    CupsVerdict verdict;
    int jobId;        // the scheduler's job, once taken
    bool maybeTaken;  // the whole request went out but its answer never came
    long waited;      // seconds the exchange that gave this answer took
    char reason[256]; // the scheduler's explanation, or what failed on the way
    long noted;       // when the wait for the scheduler was told (HostSeconds), 0 when not yet
};

// Connects to the scheduler that libcups finds (CUPS_SERVER included), never prompting for a
// password; NULL (reason in answer) when out of reach.
http_t *CupsConnect(CupsAnswer *answer);

// Says whether a client is still sending its job, which shortens the bound of each step: the
// job is held on disk meanwhile, and a silent scheduler must not keep the client from its answer.
void CupsClientSending(bool sending);

// Tells whether the scheduler closed an idle connection (restarted, or its Timeout passed).
bool CupsPeerClosed(http_t *connection);

// Looks a destination up and fills name with its own name: taken when it exists, permanent when
// the scheduler does not know it (which the unit's status then shows), temporary when it cannot
// tell now.
CupsVerdict CupsFindQueue(http_t *connection, const char *wanted, char *name, size_t capacity,
                          CupsAnswer *answer);

// Asks whether the queue accepts jobs: taken when it does, permanent when it rejects them.
CupsVerdict CupsQueueAccepts(http_t *connection, const char *queue, CupsAnswer *answer);

// Reads the queue's make and model (none for a raw queue) and its location, within one step's
// bound; each is "" when the scheduler does not say.
void CupsDescribeQueue(http_t *connection, const char *queue, char *model, size_t modelSize,
                       char *location, size_t locationSize);

// Opens a Print-Job request of a raw document for queue, titled, naming host (may be "") as the
// client and carrying the job's UUID (tag); false (verdict in answer) when refused.
bool CupsBeginJob(http_t *connection, const char *queue, const char *title, const char *host,
                  const char *tag, CupsAnswer *answer);

// Sends bytes as one chunk of the open request; false (verdict in answer) when they cannot go.
bool CupsSendChunk(http_t *connection, const char *data, size_t size, CupsAnswer *answer);

// Ends the request and classes the scheduler's answer.
void CupsEndJob(http_t *connection, CupsAnswer *answer);

// What a search for a job found: the job (its id in the answer), its absence (the scheduler listed
// the queue's jobs without it, or said the queue does not exist), or nothing certain.
enum CupsSearch { CUPS_JOB_FOUND, CUPS_JOB_ABSENT, CUPS_JOB_UNKNOWN };

// Looks for a job with the UUID among the queue's jobs, ended ones included; the answer says why
// when the search cannot tell.
CupsSearch CupsFindJob(http_t *connection, const char *queue, const char *tag, CupsAnswer *answer);

// For the exchange's own files: a step's beginning (the stall bound counts from it), an answer
// filled by hand or from a response, the job-uuid of a hold tag, and a request about a queue.
void BeginStep(void);
void Answer(CupsAnswer *answer, CupsVerdict verdict, const char *reason);
void AnswerResponse(CupsAnswer *answer, ipp_t *response);
void FormatJobUuid(char *uuid, size_t capacity, const char *tag);
ipp_t *NewQueueRequest(ipp_op_t operation, const char *queue);
