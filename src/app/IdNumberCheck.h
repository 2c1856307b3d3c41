#pragma once
// ID numbers of resident identity cards (GB 11643): normalising what an operator or a list file
// gives, and the check character (ISO 7064 MOD 11-2).

#include <QString>

// Blanks trimmed and a final "x" upper-cased; nothing else is changed.
QString NormaliseIdNumber(const QString& text);

// The check character for the first 17 characters; a null QChar when they are not 17 digits.
QChar IdCheckCharacter(QStringView first17);

// Whether id (already normalised) has 18 characters, 17 digits and the right check character.
bool IdCheckDigitValid(const QString& id);
