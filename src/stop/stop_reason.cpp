#include "stop/stop_requests.h"

std::string stop_reason() {
  switch (stop_signal()) {
    case 1:
      return "stopped by SIGHUP (the terminal closed)";
    case 2:
      return "stopped by SIGINT (Ctrl-C)";
    case 3:
      return "stopped by SIGQUIT";
    case 15:
      return "stopped by SIGTERM";
    case 21:
      return "stopped by Ctrl-Break";
    default:
      return "stopped by signal " + std::to_string(stop_signal());
  }
}
