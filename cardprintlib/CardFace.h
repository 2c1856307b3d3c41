#pragma once
// What a card shows, read back from the program's record, and how the two sides are drawn.

#include "CardPrintRecord.h"

#include <QImage>
#include <QString>

class QPainter;

struct CardFace {
    QString name;
    QString sex;
    QString nation;
    QString born;
    QString address;
    QString idcardno;
    QString grantdept;
    QString validity;
    QString photoPath;
    // A character the record could not carry arrives as '?': the side that shows it is marked.
    bool frontDoubtful = false;
    bool backDoubtful = false;
    // A value the program had to cut to its slot (named in the record): marked the same way.
    bool frontCut = false;
    bool backCut = false;
};

CardFace ReadCardFace(const CardPrintRecord& record);

// The holder's photo, or a null image when the file cannot be read (the card then has none).
QImage LoadCardPhoto(const QString& path);

// ID-1 card, 85.6 x 54 mm. Both draw into painter's current window of kCardWidth x kCardHeight
// tenths of a millimetre.
constexpr int kCardWidth = 856;
constexpr int kCardHeight = 540;
// Where the photo goes on the front: 26 x 32 mm, as on a real card.
constexpr int kPhotoLeft = 556, kPhotoTop = 50, kPhotoWidth = 260, kPhotoHeight = 320;
void DrawCardFront(QPainter& painter, const CardFace& face, const QImage& photo);
void DrawCardBack(QPainter& painter, const CardFace& face);

// Returns the text that marks a side whose text has characters the record could not carry, or
// values cut to fit the record, or both.
QString DoubtfulMarkText(bool doubtful = true, bool cut = false);
