-- The audit trail: who exported, printed, imported, deleted or changed the watch list, when and
-- from which station. The program only ever adds rows. detail holds no personal data beyond what
-- the action needs (a file name, the ID number printed or listed, the list's filter).
CREATE TABLE audit_log (
    id       INTEGER PRIMARY KEY AUTOINCREMENT,
    logtime  DATETIME NOT NULL,
    station  VARCHAR(64),
    osuser   VARCHAR(64),
    action   VARCHAR(20) NOT NULL,
    count    INTEGER NOT NULL DEFAULT 0,
    detail   VARCHAR(400)
);
CREATE INDEX audit_log_logtime ON audit_log (logtime);
