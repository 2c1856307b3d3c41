#pragma once
// Printing the current card: the record built from a holder's fields, and the call into the
// card-printing library, which does the printing itself.

#include "CardPrintRecord.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

class QLibrary;

// The photo file the library reads, in the private scratch folder.
extern const char* const kCardPhotoFileName;

// The holder of one reading, as the record store holds it.
struct CardHolderFields {
    QString name;
    QString sex;
    QVariant nationNo; // null or empty counts as 0
    QString born;
    QString address;
    QString idcardno;
    QString grantdept;
    QString usefulLifeBegin;
    QString usefulLifeEnd;
    QByteArray photo; // a bitmap file image; empty when the holder has none
};

// Reads the holder of reading serialno. false on a store failure (error says why); otherwise
// *found tells whether the reading still exists.
bool ReadCardHolder(const QSqlDatabase& db, qint64 serialno, CardHolderFields* fields, bool* found, QString* error);

struct CardRecordNotes {
    bool replaced = false; // some character had no GBK form and went in as '?'
    bool cut = false;      // some value was longer than its slot
};

// The zero-filled record of fields, every value cut to its slot on a character boundary; the
// slots that were cut are named at kCutSlotsByte, so that the card says so. The photo path goes
// in the file system's encoding; a path that does not fit leaves the slot empty (the library
// then prints no photo). Default fields give the record of "no current row".
CardPrintRecord MakeCardPrintRecord(const CardHolderFields& fields, const QString& photoPath, CardRecordNotes* notes = nullptr);

// Whether the ID slot holds anything besides blanks and control bytes.
bool CardRecordHasIdNumber(const CardPrintRecord& record);

// Cancelled: the library returned 0, the operator closed its print dialog; not a failure.
enum class CardPrintOutcome { Printed, Cancelled, LibraryMissing, EntryPointMissing, NoIdNumber, PrintFailed };

// Loads the library, finds PrintCardmes, checks the ID slot, calls it, and releases the library
// on every path. window is the caller's top-level window handle.
CardPrintOutcome CallPrintCardmes(const QString& programFolder, std::uint32_t window, const CardPrintRecord& record,
                                  unsigned char flag);

// What the operator is told; empty after a print.
QString CardPrintMessage(CardPrintOutcome outcome);

// Platform part (cardlib_unix.cpp, cardlib_win.cpp): loads the card-printing library, looking in
// the program's own folder first and then where the platform looks for libraries.
bool LoadCardPrintLibrary(QLibrary& library, const QString& programFolder);
