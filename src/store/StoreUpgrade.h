#pragma once
// The record store's layout version (PRAGMA user_version) and the steps that bring an older store
// to the program's version. Stores made before the version was kept have 0 and count as version 1.

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <functional>

// One upgrade step: the statements that bring a store of version-1 to version, then optionally
// C++ work on the stored rows, on the same connection and in the same transaction. false with a
// reason fails the upgrade.
struct UpgradeStep {
    int version = 0;
    QString sql;
    std::function<bool(QSqlDatabase db, QString* error)> work;
};

// The program's steps: data/upgrades/NNNN.sql, compiled in, each with its C++ work when it has
// any, in version order.
QList<UpgradeStep> ProgramUpgradeSteps();
// The version a fresh store has with these steps: 1 when there are none.
int LatestStoreVersion(const QList<UpgradeStep>& steps);

struct StoreUpgradeResult {
    enum Outcome {
        UpToDate, // nothing to do (a store of version 0 may have been stamped as 1)
        Upgraded, // brought from fromVersion to toVersion; the copy is at copyPath
        TooNew,   // fromVersion is above toVersion, the latest the program knows; left untouched
        Failed,   // nothing changed; error says why, copyPath names the copy when one was made
    };
    Outcome outcome = Failed;
    int fromVersion = 0;
    int toVersion = 0;
    QString copyPath;
    QString error;

    bool StoreUsable() const { return outcome == UpToDate || outcome == Upgraded; }
};

// Brings the open store on db to the latest version of steps. An older store is first copied
// beside itself as <file>.v<old>.bak (owner-only, written under a temporary name and renamed);
// then every step runs in one transaction with the copy, so a failure at any step leaves the
// store exactly as it was (and the copy, whole, beside it).
StoreUpgradeResult UpgradeStore(QSqlDatabase db, const QList<UpgradeStep>& steps = ProgramUpgradeSteps());
