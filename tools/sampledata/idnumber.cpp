#include "sampledata.h"

namespace idcard::sample {

QChar idCheckCharacter(QStringView first17)
{
    static const int weights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    static const char checks[] = "10X98765432";
    if (first17.size() != 17)
        return QChar();
    int sum = 0;
    for (int i = 0; i < 17; ++i) {
        const char16_t c = first17[i].unicode();
        if (c < u'0' || c > u'9')
            return QChar();
        sum += (c - u'0') * weights[i];
    }
    return QChar::fromLatin1(checks[sum % 11]);
}

bool isValidIdNumber(QStringView id)
{
    if (id.size() != 18)
        return false;
    const QChar check = idCheckCharacter(id.first(17));
    if (check.isNull() || id[17] != check)
        return false;
    const QDate birth = QDate::fromString(id.mid(6, 8).toString(), QStringLiteral("yyyyMMdd"));
    return birth.isValid();
}

} // namespace idcard::sample
