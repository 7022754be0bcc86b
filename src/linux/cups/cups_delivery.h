// Delivery of held jobs to the scheduler. A job held whole is sent again, after a
// pause that grows from 1 s to 30 s, until the scheduler takes it or refuses it for good; the
// wait shows on standard error (the journal under systemd).
#pragma once

#include "hold_file.h"

struct CupsAnswer; // cups_ipp.h; kept out so that files with the Win32 declarations may call in

enum DeliveryOutcome { DELIVERY_TAKEN, DELIVERY_REFUSED, DELIVERY_STOPPED };

// Sends the held job until it is taken or refused; first is the answer of an attempt already
// made (NULL when none). Stops early, leaving the job held, once the process is asked to stop.
// buffer (of capacity bytes) carries the job's bytes on their way.
DeliveryOutcome DeliverHeld(HoldFile *hold, const CupsAnswer *first, char *buffer, size_t capacity);

// Tells the journal and the unit's status at once that the scheduler cannot take a job still
// arriving, which is held meanwhile; answer (the scheduler's reason) keeps when, so that the
// delivery does not tell it again.
void NoteWaitBegins(const HoldFile *hold, CupsAnswer *answer);

// Deletes the copy of a job the scheduler took. A whole job's copy that cannot be deleted would
// print again after a restart: the relay then ends with HOST_EXIT_HOLD_UNTRUE, saying why.
void RemoveTakenJob(HoldFile *hold);

// Sends the jobs that an earlier run of this instance held whole, oldest first, each to the
// queue it was received for; a refusal for good is written to the log file too.
void DeliverEarlierHeldJobs(void);
