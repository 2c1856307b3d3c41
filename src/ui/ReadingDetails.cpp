#include "ReadingDetails.h"

#include "CardCheckStore.h"
#include "WatchListMenu.h"

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QSqlQuery>
#include <QVariant>

namespace {
const char* const kDetailsSql =
    "select b.sex,c.nation,b.born,b.grantdept,b.UsefulLifeBegin,b.UsefulLifeEnd,b.photo "
    "from idcardwater a,idcardinfo b,nation_mes c "
    "where a.serialno=:p1 and a.idcardno=b.idcardno and b.nation_no=c.nation_no";
const char* const kStationSql = "select station from idcardwater where serialno=:p1";

// Empty for a reading stored before stations were kept, and for a store without them.
QString stationOf(QSqlDatabase db, qint64 serialno)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromUtf8(kStationSql)))
        return QString();
    q.bindValue(0, serialno);
    return q.exec() && q.next() ? q.value(0).toString().trimmed() : QString();
}
} // namespace

QString CalcPeriod(const QString& begin, const QString& end)
{
    return (begin + QStringLiteral("--") + end).left(30);
}

void ReadingDetails::Clear()
{
    for (QLineEdit* edit : {m_c.sex, m_c.nation, m_c.born, m_c.grantdept, m_c.period})
        edit->clear();
    m_c.photo->clear();
    m_c.listed->clear();
    m_c.checks->clear();
    m_c.checks->setToolTip(QString());
    m_c.station->clear();
    m_c.station->setToolTip(QString());
}

void ReadingDetails::Show(QSqlDatabase db, qint64 serialno, const QString& idcardno)
{
    Clear();
    if (serialno < 0 || !db.isOpen())
        return;
    m_c.listed->setText(WatchNote(db, idcardno));
    const QString checks = CardCheckNote(db, serialno);
    m_c.checks->setText(checks);
    m_c.checks->setToolTip(checks);
    if (const QString station = stationOf(db, serialno); !station.isEmpty()) {
        const QString text = QStringLiteral("采集站点：") + station;
        m_c.station->setText(m_c.station->fontMetrics().elidedText(text, Qt::ElideRight, m_c.station->width()));
        m_c.station->setToolTip(text);
    }
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QString::fromUtf8(kDetailsSql));
    q.bindValue(0, serialno);
    if (!q.exec() || !q.next())
        return; // the reading was deleted meanwhile: nothing to show
    m_c.sex->setText(q.value(0).toString());
    m_c.nation->setText(q.value(1).toString());
    m_c.born->setText(q.value(2).toString());
    m_c.grantdept->setText(q.value(3).toString());
    m_c.period->setText(CalcPeriod(q.value(4).toString(), q.value(5).toString()));
    const QByteArray photo = q.value(6).toByteArray();
    QImage image;
    if (!photo.isEmpty() && image.loadFromData(photo)) {
        m_c.photo->setPixmap(QPixmap::fromImage(
            image.scaled(m_c.photo->contentsRect().size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    }
}
