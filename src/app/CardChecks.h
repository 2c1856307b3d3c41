#pragma once
// Checks of a card at the moment it was read: expired or not yet valid, a minor, an ID number that
// cannot be right, the same card read again within minutes. Each reading keeps its checks as a
// bitmask (idcardwater.checkflags); the words for the details pane come from here too.

#include <QDate>
#include <QString>
#include <QStringList>

enum CardCheck : int {
    CheckExpired = 1 << 0,     // read after the last day of validity
    CheckNotYetValid = 1 << 1, // read before the first day of validity
    CheckMinor = 1 << 2,       // under 18 on the day of the reading
    CheckIdLength = 1 << 3,    // the ID number has not 18 characters
    CheckIdDigit = 1 << 4,     // 18 characters, but the check character is wrong
    CheckIdBirth = 1 << 5,     // characters 7-14 are not the holder's birth date
    CheckRepeat = 1 << 6,      // the same ID number read less than 10 minutes before
};
constexpr int kIdNumberChecks = CheckIdLength | CheckIdDigit | CheckIdBirth;
constexpr int kRepeatSeconds = 600;

// What a reading is judged by, as the store keeps it.
struct CardFacts {
    QString idcardno;
    QString born;       // the holder's birth date: "19900715", "1990-07-15", ...
    QString validBegin; // "2015.07.01", "20150701", "长期", ...
    QString validEnd;
    QDate readDate;
};

// A date written as 8 digits, or as year, month and day with one separator character between
// them ("2015.07.01", "2015-7-1"); an invalid date otherwise.
QDate CardDate(QStringView text);

// Whole years of age on a day; -1 when either date is invalid or the day is before the birth.
// Someone born on 29 February has a birthday on 1 March in other years.
int AgeOn(const QDate& birth, const QDate& day);

// Every check but the repeat, which needs the other readings of the ID number.
int JudgeCard(const CardFacts& facts);

// The same in two parts, for judging many readings of one holder: what depends on the holder
// alone once, then each reading's date.
struct HolderChecks {
    int idFlags = 0;
    QDate birth, begin, end; // invalid: no verdict (an end of "长期" included)
    int birthKey = 0;        // the birth date as yyyymmdd, 0 when invalid: ages by subtraction
};
HolderChecks PrepareHolder(const QString& idcardno, const QString& born, const QString& validBegin, const QString& validEnd);
int JudgeReading(const HolderChecks& holder, const QDate& readDate);
// The date of a "YYYY-MM-DD HH:MM:SS" text; invalid when not of that form.
QDate ReadingDate(QStringView time);

// Whether a reading at `later` repeats one at `earlier` (both "YYYY-MM-DD HH:MM:SS"): less than
// kRepeatSeconds after it. A text that is not of that form repeats nothing.
bool IsRepeatReading(QStringView earlier, QStringView later);
// The same for times in ReadingSeconds; -1 repeats nothing.
bool IsRepeatAfter(qint64 earlier, qint64 later);
// Seconds of a "YYYY-MM-DD HH:MM:SS" text on a clock without time zones; -1 when not of that form.
qint64 ReadingSeconds(QStringView time);

// The words for every check in flags, one for each, in the order of the bits.
QStringList CardCheckWords(int flags, const CardFacts& facts);
// The counts line after an import: checks with a non-zero count, empty when all are zero.
struct CardCheckCounts {
    int expired = 0, notYetValid = 0, minor = 0, idNumber = 0, repeat = 0;
    void Add(int flags);
    bool Any() const { return expired || notYetValid || minor || idNumber || repeat; }
};
QString CardCheckCountsText(const CardCheckCounts& counts);
