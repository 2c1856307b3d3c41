-- The record store on PostgreSQL, shared by several stations, at layout version 5: the same tables
-- and columns as the file store. Run once by the role that is to own the tables:
--   psql -v ON_ERROR_STOP=1 -d DB -f data/postgres/create_store.sql
-- It runs in one transaction and fails whole when the tables exist. Stations log in with a role of
-- their own (create_station_role.sql) that can neither change nor own these tables.
\set ON_ERROR_STOP 1
BEGIN;

CREATE TABLE idcardinfo (
    idcardno        VARCHAR(20) NOT NULL CONSTRAINT idcardinfo_idcardno UNIQUE,
    name            VARCHAR(32),
    sex             VARCHAR(4),
    nation_no       SMALLINT,
    born            VARCHAR(15),
    address         VARCHAR(140),
    grantdept       VARCHAR(60),
    usefullifebegin VARCHAR(15),
    usefullifeend   VARCHAR(15),
    blackflag       VARCHAR(2),
    photo           BYTEA
);
-- Photos are bitmaps of about 38 KB, stored as they are: compressing each one on its way in would
-- cost an import of thousands of new holders seconds of the server's time.
ALTER TABLE idcardinfo ALTER COLUMN photo SET STORAGE EXTERNAL;
-- The listing reads name, address and the black-list flag from this index.
CREATE INDEX idcardinfo_listing ON idcardinfo (idcardno, nation_no, name, address, blackflag);

-- A reading is stored once, whichever station imports it first.
CREATE TABLE idcardwater (
    serialno   BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    idcardno   VARCHAR(20) NOT NULL,
    readtime   TIMESTAMP(0) NOT NULL,
    checkflags INTEGER NOT NULL DEFAULT 0,
    station    VARCHAR(64) NOT NULL DEFAULT '',
    CONSTRAINT idcardwater_reading UNIQUE (idcardno, readtime)
);
CREATE INDEX idcardwater_readtime ON idcardwater (readtime, idcardno);
CREATE INDEX idcardwater_odd_readtime ON idcardwater (readtime, idcardno) WHERE checkflags <> 0;
CREATE INDEX idcardwater_odd_idcardno ON idcardwater (idcardno, readtime) WHERE checkflags <> 0;

CREATE TABLE nation_mes (
    nation_no INTEGER PRIMARY KEY,
    nation    VARCHAR(50)
);

CREATE TABLE watchlist (
    idcardno VARCHAR(20) NOT NULL PRIMARY KEY,
    reason   VARCHAR(200),
    addtime  TIMESTAMP(0),
    station  VARCHAR(64)
);

-- The audit trail: stations add rows, never change or remove them.
CREATE TABLE audit_log (
    id      BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    logtime TIMESTAMP(0) NOT NULL,
    station VARCHAR(64),
    osuser  VARCHAR(64),
    action  VARCHAR(20) NOT NULL,
    count   INTEGER NOT NULL DEFAULT 0,
    detail  VARCHAR(400)
);
CREATE INDEX audit_log_logtime ON audit_log (logtime);

-- The layout version: the program refuses a store whose version it does not know. Later versions
-- come as a script per step.
CREATE TABLE store_version (version INTEGER NOT NULL);
INSERT INTO store_version VALUES (5);

-- The nation names, the same rows as the file store's (a test compares them).
INSERT INTO nation_mes (nation_no, nation) VALUES
    (0, '未知'),
    (1, '汉'), (2, '蒙古'), (3, '回'), (4, '藏'), (5, '维吾尔'), (6, '苗'), (7, '彝'), (8, '壮'),
    (9, '布依'), (10, '朝鲜'), (11, '满'), (12, '侗'), (13, '瑶'), (14, '白'), (15, '土家'),
    (16, '哈尼'), (17, '哈萨克'), (18, '傣'), (19, '黎'), (20, '傈僳'), (21, '佤'), (22, '畲'),
    (23, '高山'), (24, '拉祜'), (25, '水'), (26, '东乡'), (27, '纳西'), (28, '景颇'),
    (29, '柯尔克孜'), (30, '土'), (31, '达斡尔'), (32, '仫佬'), (33, '羌'), (34, '布朗'),
    (35, '撒拉'), (36, '毛难'), (37, '仡佬'), (38, '锡伯'), (39, '阿昌'), (40, '普米'),
    (41, '塔吉克'), (42, '怒'), (43, '乌孜别克'), (44, '俄罗斯'), (45, '鄂温克'), (46, '崩龙'),
    (47, '保安'), (48, '裕固'), (49, '京'), (50, '塔塔尔'), (51, '独龙'), (52, '鄂伦春'),
    (53, '赫哲'), (54, '门巴'), (55, '珞巴'), (56, '基诺'), (97, '其他'), (98, '外国血统');

COMMIT;
