#include "WatchListAlert.h"

QString WatchListAlertText(const ImportOutcome& o)
{
    if (o.listedCount <= 0)
        return QString();
    QString text = QStringLiteral("本次导入的记录中有 %1 条黑名单人员的刷卡记录：").arg(o.listedCount);
    for (const ListedReading& r : o.listed)
        text += QStringLiteral("\n%1  %2  %3  %4").arg(r.name, r.idcardno, r.readTime, r.reason);
    if (o.listedCount > o.listed.size())
        text += QStringLiteral("\n……");
    return text;
}
