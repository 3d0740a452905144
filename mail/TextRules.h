#pragma once

#include <QString>

// How the program reads numbers and trims the texts the user typed.

// The number at the start of a text: blanks anywhere are ignored, then an optional sign,
// digits, and a point as the decimal mark. A text that does not start with a number
// gives 0 ("7 days" gives 7, "abc" and "" give 0, " 1 5" gives 15).
double leadingNumber(const QString &text);

// Removes leading and trailing blanks (character 32) only; tabs and other spaces stay.
QString trimBlanks(const QString &text);
