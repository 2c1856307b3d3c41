#pragma once
// The private PostgreSQL server that the test command starts for these tests
// (scripts/pg_test_server.sh, run by CTest as the fixture "pg"). Without it the tests fail and say
// why: they are never skipped.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class PgStore;

namespace PgTestServer {
// A fresh, empty database with a name of its own, owned by owner when given; empty with error when
// there is no server.
QString CreateDatabase(QString* error, const QString& owner = QString());
// A fresh database with the store's layout, made by data/postgres/create_store.sql run with psql as
// an administrator would.
QString CreateStore(QString* error);
// A new login role for the stations on the database, made by data/postgres/create_station_role.sql
// as the README has it, then changed by statements (%1: the role), such as a right revoked. Empty
// with error on failure.
QString StationRole(const QString& db, QString* error, const QStringList& then = {});
// A connection text for the database, as the server's superuser or as user.
QString ConnInfo(const QString& db, const QString& user = QString());
// Runs psql on the database as the superuser, or as user, with the arguments (-v, -f, -c). On
// failure error holds psql's own words, so no statement given here may hold a password.
bool Psql(const QString& db, const QStringList& args, QString* error, const QString& user = QString());
// The rows of a query as texts, columns joined by '|', null as <null>: for comparing the two stores.
QStringList Rows(PgStore& store, const char* sql);
// Times in the program's form, whichever type the driver gives.
QStringList Rows(QSqlDatabase db, const QString& sql);
} // namespace PgTestServer
