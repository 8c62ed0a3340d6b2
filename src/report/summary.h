// Final report: closes the capture, classifies what is left in the connection
// table and prints the summary; the distribution table or a variant follows.
#pragma once

[[noreturn]] void print_report();
