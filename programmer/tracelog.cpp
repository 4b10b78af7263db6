#include "tracelog.h"

// Info and above only: the trace is debug output, disabled by default.
Q_LOGGING_CATEGORY(varnockTrace, "varnock.trace", QtInfoMsg)
