-- Version 5: one reading log for several stations. Each reading names the station that imported
-- it (empty for readings stored before), and a reading is stored once: the same ID number and
-- time is one reading, whichever station imports it.
ALTER TABLE idcardwater ADD COLUMN station VARCHAR(64) NOT NULL DEFAULT '';

-- A reading stored twice before (same ID number, same second) keeps its earliest row; the rows
-- were judged alike, as they are the same card at the same moment. The ID-number index yields
-- them in order, so nothing is sorted.
DELETE FROM idcardwater WHERE serialno IN (
    SELECT serialno FROM (
        SELECT serialno, row_number() OVER (PARTITION BY idcardno, readtime ORDER BY serialno) AS n
        FROM idcardwater)
    WHERE n > 1);

-- The duplicate test of the import and the ID-number prefix filter, now unique.
DROP INDEX idcardwater_idcardno;
CREATE UNIQUE INDEX idcardwater_reading ON idcardwater (idcardno, readtime);
