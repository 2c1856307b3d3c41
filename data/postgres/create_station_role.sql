-- The login role of the stations: it reads, adds and removes rows of the program's tables and
-- changes only the columns the program changes. It cannot create, alter or drop anything, own
-- the tables, change or remove the audit trail, or empty a table at once. Run by a superuser (it
-- makes a role and grants on the owner's tables) in the store's database:
--   psql -v ON_ERROR_STOP=1 -v station_role=NAME -d DB -f data/postgres/create_station_role.sql
-- No password here: set one with \password NAME; stations keep theirs in ~/.pgpass (0600) or in a
-- pg_service.conf service.
\set ON_ERROR_STOP 1
BEGIN;

CREATE ROLE :"station_role" LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOREPLICATION;

SELECT current_database() AS store_db, current_schema() AS store_schema \gset
-- TEMPORARY: an import hands its rows over through temporary tables of its own session.
GRANT CONNECT, TEMPORARY ON DATABASE :"store_db" TO :"station_role";
GRANT USAGE ON SCHEMA :"store_schema" TO :"station_role";
-- Servers before version 15 let every role create in the public schema; only the tables' owner
-- may (the store's later versions are its scripts).
SELECT tableowner AS store_owner FROM pg_tables
    WHERE schemaname = current_schema() AND tablename = 'idcardinfo' \gset
REVOKE CREATE ON SCHEMA :"store_schema" FROM PUBLIC;
GRANT CREATE ON SCHEMA :"store_schema" TO :"store_owner";

GRANT SELECT, INSERT, DELETE ON idcardinfo, idcardwater, watchlist TO :"station_role";
GRANT UPDATE (blackflag) ON idcardinfo TO :"station_role";
GRANT UPDATE (checkflags) ON idcardwater TO :"station_role";
-- The watch list's upsert changes the reason and the station of an entry.
GRANT UPDATE (reason, station) ON watchlist TO :"station_role";
GRANT SELECT, INSERT ON audit_log TO :"station_role";
GRANT SELECT ON nation_mes, store_version TO :"station_role";

COMMIT;
