// portsift: measures the TCP connections made to one server port, live or from a
// capture file.
#include "run/capture.h"
#include "run/command_line.h"

int main(int argc, char** argv) {
  parse_command_line(argc, argv);
  start_capture();
}
