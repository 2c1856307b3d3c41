#pragma once
// The record store: the program's own database of card holders (idcardinfo), readings
// (idcardwater) and nation names (nation_mes). The connection con1 is opened once at start-up and
// used by every query of the program.

#include <QSqlDatabase>
#include <QString>

class TDM_Main {
public:
    static constexpr const char* kConnectionName = "con1";

    TDM_Main() = default;
    ~TDM_Main();
    TDM_Main(const TDM_Main&) = delete;
    TDM_Main& operator=(const TDM_Main&) = delete;

    // The store file of a program folder (given with its trailing separator).
    static QString StorePath(const QString& programFolder);

    // Opens the store of the program folder. The file must already exist and hold the three
    // tables: the program never creates one. On failure the connection stays closed and the
    // error says why.
    bool Open(const QString& programFolder, QString* error);
    // Opens a store file by path (tests, tools, benchmarks).
    bool OpenFile(const QString& path, QString* error);
    void Close();

    bool IsOpen() const;
    QSqlDatabase con1() const;

private:
    QString m_connectionName;
};

// Program folder of the running executable, with its trailing separator.
QString ProgramFolder();
