-- The handheld's device database with an empty reading log: input/empty.db is made from this
-- script, and pushing it clears the handheld.
CREATE TABLE water_list (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    ic          TEXT,
    name        TEXT,
    sex         TEXT,
    nation      TEXT,
    birth       TEXT,
    addr        TEXT,
    issue       TEXT,
    valid_begin TEXT,
    valid_End   TEXT,
    photo       BLOB,
    read_time   TEXT
);
