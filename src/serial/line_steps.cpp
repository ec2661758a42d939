#include "serial/line_steps.h"

#include "stop/stop_requests.h"

bool drive_line_steps(port_handle port, const std::vector<line_step>& steps, std::string& why) {
  for (const line_step& step : steps) {
    if (!step.drive) {
      sleep_ms(step.wait_ms);
      continue;
    }
    const port_result changed = port_control(port, *step.drive);
    if (!changed.ok && !changed.unsupported) {
      why = std::string(line_action_text(*step.drive)) + " failed: " + changed.error;
      return false;
    }
  }
  return true;
}
