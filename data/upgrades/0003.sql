-- Version 3: card checks. Each reading keeps the checks it raised when it was read, as the
-- program's bitmask (0: none); the program's work for this step judges the readings already stored.
ALTER TABLE idcardwater ADD COLUMN checkflags INTEGER NOT NULL DEFAULT 0;

-- The listing colours flagged readings: the two indexes it reads by carry the flags, so it still
-- reads no table rows.
DROP INDEX idcardwater_readtime;
CREATE INDEX idcardwater_readtime ON idcardwater (readtime, idcardno, checkflags);
DROP INDEX idcardwater_idcardno;
CREATE INDEX idcardwater_idcardno ON idcardwater (idcardno, readtime, checkflags);

-- 只显示异常 reads only the flagged readings, a few among many: by date range, and by ID number
-- when the count goes holder by holder.
CREATE INDEX idcardwater_odd_readtime ON idcardwater (readtime, idcardno) WHERE checkflags <> 0;
CREATE INDEX idcardwater_odd_idcardno ON idcardwater (idcardno, readtime) WHERE checkflags <> 0;
