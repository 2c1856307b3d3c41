#include "CardChecks.h"

#include "IdNumberCheck.h"

namespace {

bool isDigit(QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; }

// The digits of text[from, from + count) as a number; -1 when any is not a digit.
int number(QStringView text, qsizetype from, qsizetype count)
{
    if (count <= 0 || from + count > text.size())
        return -1;
    int n = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        if (!isDigit(text[i]))
            return -1;
        n = n * 10 + (text[i].unicode() - u'0');
    }
    return n;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
qint64 daysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = int(y - era * 400);
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int dateKey(const QDate& d)
{
    int y = 0, m = 0, day = 0;
    d.getDate(&y, &m, &day);
    return d.isValid() && y > 0 ? y * 10000 + m * 100 + day : 0;
}

bool unlimited(const QString& text) { return text.trimmed() == QStringLiteral("长期"); }

} // namespace

QDate CardDate(QStringView text)
{
    text = text.trimmed();
    if (text.size() == 8 && isDigit(text[4]))
        return QDate(number(text, 0, 4), number(text, 4, 2), number(text, 6, 2));
    // yyyy?m?d with the same separator twice, month and day of one or two digits.
    if (text.size() < 8 || text.size() > 10 || isDigit(text[4]))
        return QDate();
    const QChar sep = text[4];
    const qsizetype second = text.indexOf(sep, 5);
    if (second < 6 || second > 7)
        return QDate();
    const int y = number(text, 0, 4), m = number(text, 5, second - 5), d = number(text, second + 1, text.size() - second - 1);
    if (y < 0 || m < 0 || d < 0 || text.size() - second - 1 > 2)
        return QDate();
    return QDate(y, m, d);
}

int AgeOn(const QDate& birth, const QDate& day)
{
    if (!birth.isValid() || !day.isValid() || day < birth)
        return -1;
    int age = day.year() - birth.year();
    // Not yet had this year's birthday; 29 February counts as 1 March in a common year.
    const bool leapDay = birth.month() == 2 && birth.day() == 29;
    const int bm = leapDay && !QDate::isLeapYear(day.year()) ? 3 : birth.month();
    const int bd = leapDay && !QDate::isLeapYear(day.year()) ? 1 : birth.day();
    if (day.month() < bm || (day.month() == bm && day.day() < bd))
        --age;
    return age;
}

HolderChecks PrepareHolder(const QString& idcardno, const QString& born, const QString& validBegin, const QString& validEnd)
{
    HolderChecks h;
    h.birth = CardDate(born);
    h.birthKey = dateKey(h.birth);
    h.begin = CardDate(validBegin);
    if (!unlimited(validEnd))
        h.end = CardDate(validEnd);
    const QString id = NormaliseIdNumber(idcardno);
    if (id.size() != 18) {
        h.idFlags |= CheckIdLength;
    } else {
        if (!IdCheckDigitValid(id))
            h.idFlags |= CheckIdDigit;
        // Only a readable birth date can be compared.
        if (h.birth.isValid()
            && (number(id, 6, 4) != h.birth.year() || number(id, 10, 2) != h.birth.month() || number(id, 12, 2) != h.birth.day()))
            h.idFlags |= CheckIdBirth;
    }
    return h;
}

int JudgeReading(const HolderChecks& h, const QDate& day)
{
    int flags = h.idFlags;
    if (!day.isValid())
        return flags;
    if (h.end.isValid() && day > h.end)
        flags |= CheckExpired;
    if (h.begin.isValid() && day < h.begin)
        flags |= CheckNotYetValid;
    // Whole years as AgeOn counts them: the difference of yyyymmdd numbers, divided by 10,000,
    // turns a year only on the birthday, and a 29 February birthday on 1 March in common years.
    const int dayKey = dateKey(day);
    if (h.birthKey && dayKey >= h.birthKey && (dayKey - h.birthKey) / 10000 < 18)
        flags |= CheckMinor;
    return flags;
}

int JudgeCard(const CardFacts& f) { return JudgeReading(PrepareHolder(f.idcardno, f.born, f.validBegin, f.validEnd), f.readDate); }

QDate ReadingDate(QStringView t)
{
    if (ReadingSeconds(t) < 0)
        return QDate();
    return QDate(number(t, 0, 4), number(t, 5, 2), number(t, 8, 2));
}

qint64 ReadingSeconds(QStringView t)
{
    if (t.size() != 19 || t[4] != u'-' || t[7] != u'-' || t[10] != u' ' || t[13] != u':' || t[16] != u':')
        return -1;
    const int y = number(t, 0, 4), mo = number(t, 5, 2), d = number(t, 8, 2);
    const int h = number(t, 11, 2), mi = number(t, 14, 2), s = number(t, 17, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || mi < 0 || s < 0)
        return -1;
    return daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

bool IsRepeatReading(QStringView earlier, QStringView later) { return IsRepeatAfter(ReadingSeconds(earlier), ReadingSeconds(later)); }

bool IsRepeatAfter(qint64 a, qint64 b) { return a >= 0 && b >= 0 && b > a && b - a < kRepeatSeconds; }

QStringList CardCheckWords(int flags, const CardFacts& f)
{
    QStringList words;
    if (flags & CheckExpired)
        words << QStringLiteral("证件已过期（有效期至 %1）").arg(f.validEnd.trimmed());
    if (flags & CheckNotYetValid)
        words << QStringLiteral("证件尚未生效（有效期自 %1）").arg(f.validBegin.trimmed());
    if (flags & CheckMinor) {
        const int age = AgeOn(CardDate(f.born), f.readDate);
        words << (age >= 0 ? QStringLiteral("未成年（%1 岁）").arg(age) : QStringLiteral("未成年"));
    }
    if (flags & CheckIdLength)
        words << QStringLiteral("身份证号不是 18 位");
    if (flags & CheckIdDigit)
        words << QStringLiteral("身份证号校验位不符");
    if (flags & CheckIdBirth)
        words << QStringLiteral("身份证号中的出生日期与登记的不符");
    if (flags & CheckRepeat)
        words << QStringLiteral("10 分钟内重复刷卡");
    return words;
}

void CardCheckCounts::Add(int flags)
{
    expired += (flags & CheckExpired) != 0;
    notYetValid += (flags & CheckNotYetValid) != 0;
    minor += (flags & CheckMinor) != 0;
    idNumber += (flags & kIdNumberChecks) != 0;
    repeat += (flags & CheckRepeat) != 0;
}

QString CardCheckCountsText(const CardCheckCounts& c)
{
    QStringList parts;
    auto part = [&](int n, const QString& what) {
        if (n > 0)
            parts << QStringLiteral("%1 %2 条").arg(what).arg(n);
    };
    part(c.expired, QStringLiteral("证件已过期"));
    part(c.notYetValid, QStringLiteral("证件尚未生效"));
    part(c.minor, QStringLiteral("未成年"));
    part(c.idNumber, QStringLiteral("身份证号有误"));
    part(c.repeat, QStringLiteral("10 分钟内重复刷卡"));
    return parts.isEmpty() ? QString() : QStringLiteral("本次导入的记录中：") + parts.join(QStringLiteral("，"));
}
