#include "cpu_pin.h"

cpu_pin pin_to_one_cpu() {
  cpu_pin pin;
  if (sched_getaffinity(0, sizeof pin.previous, &pin.previous) != 0) return pin;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &pin.previous)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pin.pinned = sched_setaffinity(0, sizeof one, &one) == 0;
    pin.cpu = pin.pinned ? cpu : -1;
    break;
  }
  return pin;
}

void unpin(const cpu_pin& pin) {
  if (pin.pinned) sched_setaffinity(0, sizeof pin.previous, &pin.previous);
}
