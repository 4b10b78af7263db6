#pragma once

#include <QString>

// The version the window's title, the log's completion line and --version show.
inline QString ApplicationVersion()
{
    return QStringLiteral("1.0.2");
}
