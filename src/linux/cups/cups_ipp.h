// Host layer: the IPP exchange with the scheduler behind the CUPS spooler: connecting, looking a
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
};

// Connects to the scheduler that libcups finds (CUPS_SERVER included), never prompting for a
// password; NULL (reason in answer) when out of reach.
http_t *CupsConnect(CupsAnswer *answer);

// Tells whether the scheduler closed an idle connection (restarted, or its Timeout passed).
bool CupsPeerClosed(http_t *connection);

// Looks a destination up and fills name with its own name: taken when it exists, permanent when
// the scheduler does not know it (which the unit's status then shows), temporary when it cannot
// tell now.
CupsVerdict CupsFindQueue(http_t *connection, const char *wanted, char *name, size_t capacity,
                          CupsAnswer *answer);

// Asks whether the queue accepts jobs: taken when it does, permanent when it rejects them.
CupsVerdict CupsQueueAccepts(http_t *connection, const char *queue, CupsAnswer *answer);

// Opens a Print-Job request of a raw document for queue, titled, naming host (may be "") as the
// client and carrying the job's UUID (tag); false (verdict in answer) when refused.
bool CupsBeginJob(http_t *connection, const char *queue, const char *title, const char *host,
                  const char *tag, CupsAnswer *answer);

// Sends bytes as one chunk of the open request; false (verdict in answer) when they cannot go.
bool CupsSendChunk(http_t *connection, const char *data, size_t size, CupsAnswer *answer);

// Ends the request and classes the scheduler's answer.
void CupsEndJob(http_t *connection, CupsAnswer *answer);

// Looks for a job with the UUID among the queue's jobs, ended ones included: taken (with its id)
// when there, permanent only when the scheduler listed the queue's jobs and it is not among
// them, or said that the queue does not exist; any other answer (refused, not authorised, busy, out
// of reach, no answer) is temporary.
CupsVerdict CupsFindJob(http_t *connection, const char *queue, const char *tag, CupsAnswer *answer);
