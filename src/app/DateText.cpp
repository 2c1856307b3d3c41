#include "DateText.h"

QString DateText(const QDate& date) { return date.toString(QStringLiteral("yyyy-MM-dd")); }

QString DateTimeText(const QDateTime& value) { return value.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")); }

QString StoreTimeText(const QDateTime& value) { return DateTimeText(value); }

namespace {

// Reads 1..maxDigits ASCII digits at pos; -1 when there are none.
int readNumber(const QString& text, int& pos, int maxDigits, int* digits = nullptr)
{
    int value = 0;
    int count = 0;
    while (pos < text.size() && count < maxDigits && text[pos] >= u'0' && text[pos] <= u'9') {
        value = value * 10 + (text[pos].unicode() - u'0');
        ++pos;
        ++count;
    }
    if (digits)
        *digits = count;
    return count ? value : -1;
}

bool expect(const QString& text, int& pos, char16_t c)
{
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

} // namespace

std::optional<QDateTime> ParseDateTimeText(const QString& input)
{
    const QString text = input.trimmed();
    int pos = 0;
    int yearDigits = 0;
    int year = readNumber(text, pos, 4, &yearDigits);
    if (year < 0 || !expect(text, pos, u'-'))
        return std::nullopt;
    const int month = readNumber(text, pos, 2);
    if (month < 0 || !expect(text, pos, u'-'))
        return std::nullopt;
    const int day = readNumber(text, pos, 2);
    if (day < 0)
        return std::nullopt;
    if (yearDigits <= 2) {
        const int current = QDate::currentDate().year();
        year += (current / 100) * 100;
        if (year > current + 50)
            year -= 100;
        else if (year <= current - 50)
            year += 100;
    }
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;

    QTime time(0, 0, 0);
    if (pos < text.size()) {
        if (text[pos] != u' ' && text[pos] != u'T')
            return std::nullopt;
        while (pos < text.size() && (text[pos] == u' ' || text[pos] == u'T'))
            ++pos;
        const int hour = readNumber(text, pos, 2);
        if (hour < 0 || !expect(text, pos, u':'))
            return std::nullopt;
        const int minute = readNumber(text, pos, 2);
        if (minute < 0)
            return std::nullopt;
        int second = 0;
        if (expect(text, pos, u':')) {
            second = readNumber(text, pos, 2);
            if (second < 0)
                return std::nullopt;
            // A fraction of a second is accepted and dropped: the store keeps whole seconds.
            if (expect(text, pos, u'.') && readNumber(text, pos, 3) < 0)
                return std::nullopt;
        }
        if (pos != text.size())
            return std::nullopt;
        time = QTime(hour, minute, second);
        if (!time.isValid())
            return std::nullopt;
    }
    return QDateTime(date, time);
}

QString StoreTimeParam(const QString& text)
{
    const auto value = ParseDateTimeText(text);
    return value ? StoreTimeText(*value) : QString();
}

QString TrimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}
