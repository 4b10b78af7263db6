#pragma once

// Small file and data helpers the job tests share.

#include <QByteArray>
#include <QString>

// Reproducible pseudo-random contents for chips and images.
QByteArray RandomBytes(int size, quint32 seed);

bool WriteFile(const QString &path, const QByteArray &contents);

// The file's bytes, or "<unreadable>" so a lost file never equals empty data.
QByteArray ReadFile(const QString &path);
