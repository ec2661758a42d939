#include "cli/run.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "bootloader/bootloader.h"
#include "bootloader/status_line.h"
#include "cli/image_file.h"
#include "cli/image_format.h"
#include "cli/options.h"
#include "cli/phases.h"
#include "cli/port_reason.h"

namespace {

constexpr unsigned line_settle_ms = 10;

// A stopped run counts as failed even when its last exchange went through:
// whoever stopped it cannot know how far it got.
int finish(bool error_flag) {
  const int stopped = stop_exit_status();
  if (error_flag || stopped != 0) {
    console_printf("done with %d error(s)..\n\n", 1);
    return stopped != 0 ? stopped : 1;
  }
  console_printf("done without errors..\n\n");
  return 0;
}

// Loads the image and checks that it may be programmed where it is to go;
// says why not. Nothing has been sent to the target yet when this fails.
bool load_image(const run_settings& settings, std::FILE*& file, std::vector<uint8_t>& image) {
  const char* path = settings.image_path.c_str();
  file = image_open(settings.image_path);
  if (file == nullptr) {
    console_printf("cannot open file %s..\n", path);
    return false;
  }
  if (!image_load(file, image)) {
    console_printf("cannot read file %s..\n", path);
    return false;
  }
  if (const char* advice = image_format_advice(recognise_image_format(image))) {
    console_printf("cannot read file %s..\n  %s\n", path, advice);
    return false;
  }
  // Past 2^32 the block addresses would wrap to 0 and write flash that the
  // sector choice never erased.
  if (uint64_t{settings.address} + image.size() > uint64_t{1} << 32) {
    console_printf("image of %lu bytes does not fit at 0x%08lx..\n",
                   static_cast<unsigned long>(image.size()),
                   static_cast<unsigned long>(settings.address));
    return false;
  }
  return true;
}

}  // namespace

int run(const std::vector<std::string>& words) {
  console_printf("vexlor prog v1.0\n\n");
  const run_settings settings = parse_options(words);

  port_open_error why;
  port_handle port = port_open(settings.port_name, &why);
  if (port == nullptr) {
    console_printf("error: cannot open port %s\n  %s\n", settings.port_name.c_str(),
                   port_failure_reason(why).c_str());
    return finish(true);
  }
  port_set_line(port, settings.baud_rate);  // a port that refuses keeps its settings

  bool error_flag = false;
  std::vector<uint8_t> image;
  std::FILE* file = nullptr;
  if (!load_image(settings, file, image)) {
    error_flag = true;
  } else {
    port_control(port, port_line_action::clear_rts);
    port_control(port, port_line_action::set_dtr);
    port_control(port, port_line_action::clear_dtr);
    sleep_ms(line_settle_ms);
    // No input is discarded here: a byte the target sends after the line
    // sequence is taken as its answer to the start byte.
    if (!device_init(port)) error_flag = true;
    if (settings.write) write_phase(port, settings.address, image, error_flag);
    if (settings.verify) verify_phase(port, settings.address, image, error_flag);
  }

  port_control(port, port_line_action::set_rts);
  port_control(port, port_line_action::set_dtr);
  port_control(port, port_line_action::clear_dtr);
  port_close(port);
  if (file != nullptr) std::fclose(file);
  image = {};  // released last, after the port and the file
  return finish(error_flag);
}
