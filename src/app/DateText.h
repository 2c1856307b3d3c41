#pragma once
// Date and time texts. The program writes dates as "YYYY-MM-DD" and times as "hh:mm:ss" whatever
// the machine's locale says; the record store keeps a reading time as the fixed-width text
// "YYYY-MM-DD HH:MM:SS", so text order is time order.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <optional>

QString DateText(const QDate& date);          // 2014-03-07
QString DateTimeText(const QDateTime& value); // 2014-03-07 08:05:09

// A date-time text as the program reads it: year-month-day separated by '-', then optionally the
// time of day as hours:minutes[:seconds[.fraction]]. Month and day may have one digit; a two-digit
// year is taken within 50 years of the current one. Nothing else is accepted.
std::optional<QDateTime> ParseDateTimeText(const QString& text);

// The store form of a date-time ("YYYY-MM-DD HH:MM:SS").
QString StoreTimeText(const QDateTime& value);
// A date or date-time text, as a query compares it with a reading time, in the store form: a date
// alone stands for 00:00 of that day. Empty when the text does not convert.
QString StoreTimeParam(const QString& text);

// Drops leading and trailing characters up to and including the blank (control characters and
// spaces; other Unicode white space stays).
QString TrimBlanks(const QString& text);
