// Runs on one core. On a virtual machine whose idle cores halt, every wake-up
// of a process on another core costs tens of microseconds of hypervisor
// time; through a pty the tool and the simulator wake each other twice a
// turn (through the kernel's flip-buffer worker), so where the scheduler
// happens to put them swings an unpaced run by a factor of three or more.
// Children inherit the pin.
#pragma once

#include <sched.h>

struct cpu_pin {
  cpu_set_t previous;
  bool pinned = false;
  int cpu = -1;
};

// Pins this process (and so everything it starts) to the first core it may use.
cpu_pin pin_to_one_cpu();

void unpin(const cpu_pin& pin);
