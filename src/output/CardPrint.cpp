#include "CardPrint.h"

#include "GbkText.h"

#include <QFile>
#include <QLibrary>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cstring>

const char* const kCardPhotoFileName = "lstmp.bmp";

namespace {

const char* const kHolderSql =
    "select b.name,b.sex,b.nation_no,b.born,b.address,a.Idcardno,b.grantdept,b.UsefulLifeBegin,b.UsefulLifeEnd,b.photo "
    "from idcardwater a,idcardinfo b,nation_mes c "
    "where a.serialno=:p1 and a.idcardno=b.idcardno and b.nation_no=c.nation_no";

// Puts text into its slot; a text cut to fit sets the slot's bit in cutSlots.
template <std::size_t N>
void putText(char (&slot)[N], const QString& text, CardRecordNotes& notes, unsigned char& cutSlots, CardCutSlot bit)
{
    const GbkText gbk = ToGbk(text, static_cast<int>(N));
    std::memcpy(slot, gbk.bytes.constData(), static_cast<std::size_t>(gbk.bytes.size()));
    notes.replaced = notes.replaced || gbk.replaced;
    notes.cut = notes.cut || gbk.cut;
    if (gbk.cut)
        cutSlots |= bit;
}

template <std::size_t N> void putAscii(char (&slot)[N], const QByteArray& bytes)
{
    std::memcpy(slot, bytes.constData(), std::min(N, static_cast<std::size_t>(bytes.size())));
}

QByteArray nationDigits(const QVariant& value)
{
    if (value.isNull())
        return "0";
    bool ok = false;
    const qlonglong code = value.toString().trimmed().toLongLong(&ok);
    // The slot holds six digits and no sign; anything else is no known nation.
    if (!ok || code < 0 || code > 999999)
        return "0";
    return QByteArray::number(code);
}

} // namespace

bool ReadCardHolder(const QSqlDatabase& db, qint64 serialno, CardHolderFields* fields, bool* found, QString* error)
{
    *found = false;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromUtf8(kHolderSql))) {
        *error = q.lastError().text();
        return false;
    }
    q.bindValue(0, serialno);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    if (!q.next()) {
        if (!q.lastError().isValid())
            return true; // the reading was deleted meanwhile
        *error = q.lastError().text();
        return false;
    }
    fields->name = q.value(0).toString();
    fields->sex = q.value(1).toString();
    fields->nationNo = q.value(2);
    fields->born = q.value(3).toString();
    fields->address = q.value(4).toString();
    fields->idcardno = q.value(5).toString();
    fields->grantdept = q.value(6).toString();
    fields->usefulLifeBegin = q.value(7).toString();
    fields->usefulLifeEnd = q.value(8).toString();
    fields->photo = q.value(9).toByteArray();
    *found = true;
    return true;
}

CardPrintRecord MakeCardPrintRecord(const CardHolderFields& fields, const QString& photoPath, CardRecordNotes* notes)
{
    CardPrintRecord record;
    std::memset(&record, 0, sizeof record);
    CardRecordNotes seen;
    unsigned char cutSlots = 0;
    putText(record.born, fields.born, seen, cutSlots, kCutBorn);
    putText(record.idcardno, fields.idcardno, seen, cutSlots, kCutIdcardno);
    putText(record.name, fields.name, seen, cutSlots, kCutName);
    putText(record.address, fields.address, seen, cutSlots, kCutAddress);
    putText(record.grantdept, fields.grantdept, seen, cutSlots, kCutGrantdept);
    putText(record.usefulLifeBegin, fields.usefulLifeBegin, seen, cutSlots, kCutUsefulLifeBegin);
    putText(record.usefulLifeEnd, fields.usefulLifeEnd, seen, cutSlots, kCutUsefulLifeEnd);
    putAscii(record.sex, fields.sex == QStringLiteral("男") ? "1" : "2");
    reinterpret_cast<unsigned char*>(&record)[kCutSlotsByte] = cutSlots;
    putAscii(record.nation, nationDigits(fields.nationNo));
    // A cut path would name another file: better no photo than that.
    const QByteArray path = QFile::encodeName(photoPath);
    if (path.size() < static_cast<int>(sizeof record.photoPath) && !path.contains('\0'))
        putAscii(record.photoPath, path);
    if (notes)
        *notes = seen;
    return record;
}

bool CardRecordHasIdNumber(const CardPrintRecord& record)
{
    for (const char c : record.idcardno) {
        if (c == '\0')
            return false;
        if (static_cast<unsigned char>(c) > 0x20)
            return true;
    }
    return false;
}

CardPrintOutcome CallPrintCardmes(const QString& programFolder, std::uint32_t window, const CardPrintRecord& record,
                                  unsigned char flag)
{
    QLibrary library;
    if (!LoadCardPrintLibrary(library, programFolder))
        return CardPrintOutcome::LibraryMissing;
    struct Release {
        QLibrary& library;
        ~Release() { library.unload(); }
    } release{library};

    const auto printCardmes = reinterpret_cast<PrintCardmesProc>(library.resolve("PrintCardmes"));
    if (!printCardmes)
        return CardPrintOutcome::EntryPointMissing;
    if (!CardRecordHasIdNumber(record))
        return CardPrintOutcome::NoIdNumber;
    const int result = printCardmes(window, record, flag);
    if (result < 0)
        return CardPrintOutcome::PrintFailed;
    return result == 0 ? CardPrintOutcome::Cancelled : CardPrintOutcome::Printed;
}

QString CardPrintMessage(CardPrintOutcome outcome)
{
    switch (outcome) {
    case CardPrintOutcome::Printed:
    case CardPrintOutcome::Cancelled: return QString();
    case CardPrintOutcome::LibraryMissing: return QStringLiteral("cardprintlib.dll动态库未找到!");
    case CardPrintOutcome::EntryPointMissing: return QStringLiteral("调入动态库CardPrintlib.dll失败！");
    case CardPrintOutcome::NoIdNumber: return QStringLiteral("身份证信息为空，请读卡后再打印！");
    case CardPrintOutcome::PrintFailed: return QStringLiteral("调用打印函数失败！");
    }
    return QString();
}
