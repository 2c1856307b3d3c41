#pragma once
// The program's settings: idcard.ini (INI format) in the program folder, one file that an
// administrator can read and edit. Never a password in it.
//
//   [retention] days     readings older than this many days are offered for deletion; empty or
//                        0: everything is kept
//   [station]   name     this station's name in the watch list and the audit trail; empty: the
//                        host name
//   [store]     connection   a record store on PostgreSQL shared by several stations: a libpq
//                        connection string ("host=... dbname=... user=...") or a service
//                        ("service=idcard"); empty: the store file database/KeepTrackLog.db

#include <QString>

class Settings {
public:
    // programFolder with its trailing separator.
    explicit Settings(QString programFolder);

    static constexpr const char* kFileName = "idcard.ini";
    QString FilePath() const;

    // 0: keep everything.
    int RetentionDays() const;
    // The name as written; empty when none is.
    QString StationSetting() const;
    // The name to use: the setting, else the host name.
    QString StationName() const;

    // The PostgreSQL store's connection as written; empty for the store file.
    QString StoreConnection() const;

    // Writes both values; false with the reason when the file could not be written.
    bool Save(int retentionDays, const QString& station, QString* error) const;

private:
    QString m_folder;
};
