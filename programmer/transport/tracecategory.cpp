#include "programmer/transport/tracecategory.h"

const char kTraceCategory[] = "varnock.trace";

// Info and above only: the trace is debug output, disabled by default.
Q_LOGGING_CATEGORY(varnockTrace, kTraceCategory, QtInfoMsg)
