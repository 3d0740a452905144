#pragma once

#include <QString>

// The stored form of the password: every Latin-1 character (code 0..255) becomes the one
// with code 255 minus its code; any other character stays as it is. The transform is its
// own inverse and keeps the length, whatever the length.
QString flipChars(const QString &text);
