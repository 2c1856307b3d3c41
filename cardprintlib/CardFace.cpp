#include "CardFace.h"

#include "CodeTable.h"
#include "GbkText.h"

#include <QDate>
#include <QFile>
#include <QImageReader>
#include <QPainter>

namespace {

template <std::size_t N> QString slotText(const char (&slot)[N])
{
    return FromGbk(slot, N);
}

// "19800101", "1980-01-01" or "1980.01.01" as a date; anything else as it stands.
QDate parseDate(const QString& text)
{
    QString digits;
    for (const QChar c : text) {
        if (c.isDigit())
            digits += c;
        else if (c != u'-' && c != u'.' && c != u'/' && c != u' ')
            return QDate();
    }
    return digits.size() == 8 ? QDate::fromString(digits, QStringLiteral("yyyyMMdd")) : QDate();
}

QString bornText(const QString& text)
{
    const QDate d = parseDate(text);
    return d.isValid() ? QStringLiteral("%1 年 %2 月 %3 日").arg(d.year()).arg(d.month()).arg(d.day()) : text;
}

QString validityDate(const QString& text)
{
    const QDate d = parseDate(text);
    return d.isValid() ? d.toString(QStringLiteral("yyyy.MM.dd")) : text.trimmed();
}

bool doubtful(const QString& text)
{
    return text.contains(u'?') || text.contains(QChar(0xFFFD));
}

QFont cardFont(int tenthsOfMm, bool bold = false)
{
    QFont font;
    font.setFamilies({QStringLiteral("SimHei"), QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(tenthsOfMm);
    font.setBold(bold);
    return font;
}

const QColor kLabel(40, 90, 160);
const QColor kMark(200, 0, 0);

void drawLabel(QPainter& p, int x, int y, const QString& text)
{
    p.setFont(cardFont(26));
    p.setPen(kLabel);
    p.drawText(QRect(x, y, 200, 40), Qt::AlignLeft | Qt::AlignVCenter, text);
}

// Draws a value into its box at the largest size up to `size` at which all of it shows: on one
// line when it fits, else (when lines may wrap) broken between words, or anywhere where a word
// is wider than the box (a long run of Latin letters).
void drawValue(QPainter& p, const QRect& rect, const QString& text, int size = 32, bool wrap = false)
{
    constexpr int kSmallest = 14;
    p.setPen(Qt::black);
    const int align = Qt::AlignLeft | Qt::AlignTop;
    const int ways[] = {Qt::TextSingleLine, Qt::TextWordWrap, Qt::TextWrapAnywhere};
    const int last = wrap ? 2 : 0;
    for (int s = size;; --s) {
        p.setFont(cardFont(s));
        for (int i = 0; i <= last; ++i) {
            const QRect needed = p.boundingRect(rect, align | ways[i], text);
            const bool fits = needed.width() <= rect.width() && needed.height() <= rect.height();
            if (fits || (s <= kSmallest && i == last)) {
                p.drawText(rect, align | ways[i], text);
                return;
            }
        }
    }
}

void drawOutline(QPainter& p, bool doubtful, bool cut)
{
    // A thin outline to cut along; red and thicker on a side the operator must check.
    const bool check = doubtful || cut;
    p.setPen(QPen(check ? kMark : QColor(150, 150, 150), check ? 8 : 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRect(4, 4, kCardWidth - 8, kCardHeight - 8), 30, 30);
    if (check) {
        p.setFont(cardFont(24, true));
        p.setPen(kMark);
        p.drawText(QRect(20, kCardHeight - 50, kCardWidth - 40, 36), Qt::AlignCenter, DoubtfulMarkText(doubtful, cut));
    }
}

} // namespace

QString DoubtfulMarkText(bool doubtful, bool cut)
{
    if (doubtful && cut)
        return QStringLiteral("※ 含无法打印的字（印作“?”），且有内容过长被截断，请核对原证");
    if (cut)
        return QStringLiteral("※ 有内容过长被截断，请核对原证");
    return QStringLiteral("※ 含无法打印的字（印作“?”），请核对原证");
}

CardFace ReadCardFace(const CardPrintRecord& record)
{
    CardFace face;
    face.name = slotText(record.name);
    face.sex = slotText(record.sex) == QStringLiteral("1") ? QStringLiteral("男") : QStringLiteral("女");
    bool ok = false;
    const int code = slotText(record.nation).toInt(&ok);
    if (ok && code >= 1 && code <= 100)
        face.nation = QString::fromUtf8(NationNames[code - 1]);
    face.born = bornText(slotText(record.born));
    face.address = slotText(record.address);
    face.idcardno = slotText(record.idcardno).trimmed();
    face.grantdept = slotText(record.grantdept);
    const QString begin = validityDate(slotText(record.usefulLifeBegin));
    const QString end = validityDate(slotText(record.usefulLifeEnd));
    if (!begin.isEmpty() || !end.isEmpty())
        face.validity = begin + u'-' + end;
    std::size_t pathLength = 0;
    while (pathLength < sizeof record.photoPath && record.photoPath[pathLength] != '\0')
        ++pathLength;
    face.photoPath = QFile::decodeName(QByteArray(record.photoPath, static_cast<int>(pathLength)));
    face.frontDoubtful = doubtful(face.name) || doubtful(face.born) || doubtful(face.address) || doubtful(face.idcardno);
    face.backDoubtful = doubtful(face.grantdept) || doubtful(face.validity);
    const auto cut = reinterpret_cast<const unsigned char*>(&record)[kCutSlotsByte];
    face.frontCut = cut & (kCutName | kCutBorn | kCutAddress | kCutIdcardno);
    face.backCut = cut & (kCutGrantdept | kCutUsefulLifeBegin | kCutUsefulLifeEnd);
    return face;
}

QImage LoadCardPhoto(const QString& path)
{
    if (path.isEmpty())
        return QImage();
    QImageReader reader(path);
    // A card photo is about 100 x 126; anything huge is not one and is not worth the memory.
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 4000 || size.height() > 4000)
        return QImage();
    return reader.read();
}

void DrawCardFront(QPainter& p, const CardFace& face, const QImage& photo)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    // Values stop short of the photo; a long name takes a second line, as on a real card.
    const int right = kPhotoLeft - 16;
    drawLabel(p, 50, 50, QStringLiteral("姓  名"));
    drawValue(p, QRect(180, 50, right - 180, 66), face.name, 36, true);
    drawLabel(p, 50, 120, QStringLiteral("性  别"));
    drawValue(p, QRect(180, 120, 110, 40), face.sex);
    drawLabel(p, 300, 120, QStringLiteral("民  族"));
    drawValue(p, QRect(420, 120, right - 420, 40), face.nation);
    drawLabel(p, 50, 190, QStringLiteral("出  生"));
    drawValue(p, QRect(180, 190, right - 180, 40), face.born);
    drawLabel(p, 50, 260, QStringLiteral("住  址"));
    drawValue(p, QRect(180, 260, right - 180, 156), face.address, 30, true);
    drawLabel(p, 50, 430, QStringLiteral("公民身份号码"));
    drawValue(p, QRect(260, 428, 560, 44), face.idcardno, 38);

    const QRect frame(kPhotoLeft, kPhotoTop, kPhotoWidth, kPhotoHeight);
    if (!photo.isNull()) {
        const QSize fitted = photo.size().scaled(frame.size(), Qt::KeepAspectRatio);
        const QRect target(frame.x() + (frame.width() - fitted.width()) / 2, frame.y() + (frame.height() - fitted.height()) / 2,
                           fitted.width(), fitted.height());
        p.drawImage(target, photo);
    } else {
        p.setPen(QPen(QColor(180, 180, 180), 2, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(frame);
    }
    drawOutline(p, face.frontDoubtful, face.frontCut);
}

void DrawCardBack(QPainter& p, const CardFace& face)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(cardFont(44, true));
    p.setPen(Qt::black);
    p.drawText(QRect(0, 70, kCardWidth, 60), Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("中华人民共和国"));
    p.setFont(cardFont(60, true));
    p.drawText(QRect(0, 150, kCardWidth, 80), Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("居民身份证"));
    drawLabel(p, 140, 340, QStringLiteral("签发机关"));
    drawValue(p, QRect(300, 338, 520, 60), face.grantdept, 32, true);
    drawLabel(p, 140, 410, QStringLiteral("有效期限"));
    drawValue(p, QRect(300, 408, 520, 44), face.validity);
    drawOutline(p, face.backDoubtful, face.backCut);
}
