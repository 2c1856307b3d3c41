-- Version 3: card checks. Each reading keeps the checks it raised when it was read, as the
-- program's bitmask (0: none); the program's work for this step judges the readings already stored.
ALTER TABLE idcardwater ADD COLUMN checkflags INTEGER NOT NULL DEFAULT 0;

-- The flagged readings, a few among many: the listing finds them by date range to colour them,
-- 只显示异常 reads them alone by date range, and by ID number when it counts holder by holder.
CREATE INDEX idcardwater_odd_readtime ON idcardwater (readtime, idcardno) WHERE checkflags <> 0;
CREATE INDEX idcardwater_odd_idcardno ON idcardwater (idcardno, readtime) WHERE checkflags <> 0;
