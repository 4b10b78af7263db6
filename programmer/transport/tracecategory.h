#pragma once

// The developer trace of the jobs and the chip layer ("chipver", "id.ID9FH", "st" ...): off
// unless QT_LOGGING_RULES="varnock.trace.debug=true", so an operator's terminal or journal never
// fills with it, or unless a JobTrace sends it to a file.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(varnockTrace)

// The category's name, which a JobTrace recognises among the messages it is handed.
extern const char kTraceCategory[];
