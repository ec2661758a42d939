// USB serial adapters hold received bytes for up to their latency timer
// (16 ms by default) before passing them to the host. This protocol waits for
// an answer after every step, so that timer would be charged to each of the
// thousand-odd exchanges of a flash. Drivers that can shorten it do so in
// their low-latency mode.
#pragma once

// Asks the driver for low-latency mode. True when that changed the mode;
// false when it was already on or the driver has no such mode (a
// pseudo-terminal, a modem-class adapter), which is no error.
bool low_latency_on(int fd);

// Puts the mode back as it was before low_latency_on changed it.
void low_latency_off(int fd);
