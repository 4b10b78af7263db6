#pragma once

// The developer trace of the jobs ("chipver", "id.ID9FH", "st" ...): off unless
// QT_LOGGING_RULES="varnock.trace.debug=true", so an operator's terminal or journal
// never fills with it.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(varnockTrace)
