#pragma once
// The watch list on a record store on PostgreSQL, as on the file store (WatchList): each change
// keeps idcardinfo.blackflag in step and writes its audit row in one transaction, taken in the
// stations' write turn so that an import at another station flags its new holders by the list
// as it is then.

#include "WatchList.h"

class PgStore;

class PgWatchList {
public:
    explicit PgWatchList(PgStore& store, QString station = LocalStationName());

    bool Add(const QStringList& idcardnos, const QString& reason, QString* error);
    bool Remove(const QStringList& idcardnos, QString* error);
    bool Entries(QList<WatchEntry>* entries, QString* error) const;
    bool Reason(const QString& idcardno, QString* reason, QString* error) const;
    WatchListImportResult Import(const QList<WatchListLine>& lines);

private:
    bool begin(QString* error);
    bool finish(bool ok, const char* action, const QStringList& ids, QString* error);

    PgStore& m_store;
    QString m_station;
};
