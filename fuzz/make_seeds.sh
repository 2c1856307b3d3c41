#!/bin/sh
# Writes a few small, valid device databases as a starting corpus for fuzz_devicedb.
# Usage: fuzz/make_seeds.sh OUTDIR   (needs the sqlite3 command-line shell)
set -eu
out=${1:?usage: make_seeds.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
schema="$here/../data/water_list.sql"
mkdir -p "$out"

make_db() {
    rm -f "$out/$1"
    { cat "$schema"; printf '%s\n' "$2"; } | sqlite3 "$out/$1"
}

make_db empty.db ""
make_db one_row.db "INSERT INTO water_list (ic, name, sex, nation, birth, addr, issue, valid_begin, valid_End, photo, read_time)
  VALUES ('ID0001', 'Sample A', 'X', 'Nation', '20000101', 'Street 1', 'Office', '20200101', '20300101', x'89504E470D0A1A0A0001', '2026-01-01 10:00:00');"
make_db nulls.db "INSERT INTO water_list (ic) VALUES (NULL); INSERT INTO water_list (ic, photo) VALUES ('ID0002', x'');"
make_db mixed.db "INSERT INTO water_list (ic, name, photo, read_time) VALUES (123, 4.5, 'text photo', x'00FF');
  INSERT INTO water_list (ic, name, photo, read_time) VALUES ('ID0003', 'Sample B', zeroblob(64), NULL);
  INSERT INTO water_list (id, ic) VALUES (9223372036854775807, '-0.0');"
make_db upper.db "ALTER TABLE water_list RENAME TO wl_tmp; ALTER TABLE wl_tmp RENAME TO WATER_LIST; INSERT INTO WATER_LIST (ic) VALUES ('ID0004');"
rm -f "$out/other.db"
sqlite3 "$out/other.db" "CREATE TABLE other (a INTEGER, b REAL, c BLOB); INSERT INTO other VALUES (1, 2.5, x'01');"
# The database files keep their default 4096-byte pages; shrink them where sqlite3 can.
for f in "$out"/*.db; do sqlite3 "$f" "PRAGMA page_size=512; VACUUM;"; done
ls -l "$out"
