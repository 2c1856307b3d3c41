-- Version 2: the watch list. Holders are matched by ID number only; an ID number may be listed
-- before its holder was ever read. idcardinfo.blackflag is kept in step by the program.
CREATE TABLE watchlist (
    idcardno VARCHAR(20) NOT NULL PRIMARY KEY,
    reason   VARCHAR(200),
    addtime  DATETIME,
    station  VARCHAR(64)
);

-- A holder flagged by hand before the list existed stays flagged, now with an entry behind it;
-- any other flag is made "否", so that the flag and the list agree.
INSERT INTO watchlist (idcardno, reason, addtime, station)
    SELECT idcardno, '原有黑名单标记', datetime('now', 'localtime'), '' FROM idcardinfo WHERE blackflag = '是';
UPDATE idcardinfo SET blackflag = '否' WHERE blackflag IS NULL OR blackflag NOT IN ('是', '否');
