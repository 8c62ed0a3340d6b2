// Signals: SIGINT and SIGALRM ask the run in progress to stop. Their request is the
// one process-wide record, since a signal handler can reach nothing else: a flag,
// and the libpcap handle whose loop the handler breaks.
#pragma once

#include <pcap/pcap.h>

// Whether a signal has asked the run to stop. It only ever changes from no to yes
// during a run.
bool stop_signalled();

// A new run: nothing asked yet, no handle to break.
void clear_stop_signal();

// The handle whose loop a signal breaks (pcap_breakloop()); nullptr before it is
// closed, so that a late signal never reaches a closed handle.
void break_on_signal(pcap_t* pcap);

// SIGINT and SIGALRM set the flag and break the loop. Only async-signal-safe work in
// the handler; the loop produces the report, or flushes and closes the savefile.
void install_signals();

// Called once a live loop has ended. A later SIGINT, or the alarm still pending
// after a run ended by SIGINT, has nothing left to stop; held back, it cannot reach
// the handler while the capture is closed, nor end the process before its report.
void hold_signals();
