// DNS-SD advertisement: the instance announces itself on the local network as a raw-port printer
// (_pdl-datastream._tcp) while it listens, when its key turns that on.
#pragma once

// Forgets the settings and the calls found, as at the start of a run.
void ResetAdvertising(void);

// Advertises the instance once its socket listens: the first call reads the settings; later calls
// while it is advertised do nothing. Off, it changes nothing at all.
void StartAdvertising(void);

// Withdraws the advertisement: when the listener closes, and at the service's stop.
void StopAdvertising(void);
