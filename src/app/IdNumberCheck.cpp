#include "IdNumberCheck.h"

QString NormaliseIdNumber(const QString& text)
{
    QString id = text.trimmed();
    if (id.endsWith(u'x'))
        id[id.size() - 1] = u'X';
    return id;
}

QChar IdCheckCharacter(QStringView first17)
{
    static const int weights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    if (first17.size() != 17)
        return QChar();
    int sum = 0;
    for (int i = 0; i < 17; ++i) {
        const char16_t c = first17[i].unicode();
        if (c < u'0' || c > u'9')
            return QChar();
        sum += (c - u'0') * weights[i];
    }
    return QChar::fromLatin1("10X98765432"[sum % 11]);
}

bool IdCheckDigitValid(const QString& id)
{
    if (id.size() != 18)
        return false;
    const QChar check = IdCheckCharacter(QStringView(id).first(17));
    return !check.isNull() && id[17] == check;
}
