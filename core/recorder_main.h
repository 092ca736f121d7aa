// The recorder's process from start to end: the crash guard first, then the device's instance lock
// (one recorder per device), then the CDR manager, served until the process is stopped by a signal
// (which the guard reports) or an exception escapes (which the guard reports before the process
// ends with status 1). Command-line arguments other than the program path have no effect.
#pragma once

// Runs the recorder; returns 0 only if the service loop ever ends, and 1, after one line on
// standard error naming the running recorder, when another recorder holds the instance lock. An
// escaping exception never returns: the process ends with status 1 after its report.
int RecorderMain(int argc, char* argv[]);
