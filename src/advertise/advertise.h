// DNS-SD advertisement: the instance announces itself on the local network as a raw-port printer
// (_pdl-datastream._tcp) while it listens, when its key turns that on.
#pragma once

// Forgets the settings and the calls found, as at the start of a run.
void ResetAdvertising(void);

// Advertises the instance once its socket listens: the first call reads the settings; later calls
// while it is advertised, or after EndAdvertising, do nothing. Off, it changes nothing at all.
void StartAdvertising(void);

// Withdraws the advertisement when the listener closes; a listener that opens again advertises
// again.
void StopAdvertising(void);

// Withdraws the advertisement for good, at the service's stop: nothing is advertised again in
// this run.
void EndAdvertising(void);
