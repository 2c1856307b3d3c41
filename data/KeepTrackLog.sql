-- The ready-made record store at layout version 1. The program never creates a store; it alters
-- one only through the numbered steps in upgrades/, which make_db also applies after this script,
-- so that a fresh store and an upgraded one have the same layout.
--
-- readtime is stored as text 'YYYY-MM-DD HH:MM:SS' (fixed width, so text order is time order);
-- date parameters are converted to that form before they are compared.

-- 16 KB pages: a holder's photo, a bitmap of about 38 KB, takes three pages instead of ten, so an
-- import has far fewer pages to write and keep track of. Stores made with 4 KB pages keep them.
PRAGMA page_size = 16384;

-- The layout version; every upgrade step sets the version it produces.
PRAGMA user_version = 1;

CREATE TABLE idcardinfo (
    idcardno        VARCHAR(20) NOT NULL,
    name            VARCHAR(32),
    sex             VARCHAR(4),
    nation_no       SMALLINT,
    born            VARCHAR(15),
    address         VARCHAR(140),
    grantdept       VARCHAR(60),
    UsefulLifeBegin VARCHAR(15),
    UsefulLifeEnd   VARCHAR(15),
    blackflag       VARCHAR(2),
    photo           BLOB
);

CREATE TABLE idcardwater (
    serialno INTEGER PRIMARY KEY AUTOINCREMENT,
    idcardno VARCHAR(20) NOT NULL,
    readtime DATETIME NOT NULL
);

CREATE TABLE nation_mes (
    nation_no INTEGER PRIMARY KEY,
    nation    VARCHAR(50)
);

-- One holder per ID number.
CREATE UNIQUE INDEX idcardinfo_idcardno ON idcardinfo (idcardno);
-- The listing reads name, address and the black-list flag from this index, so it never touches the
-- wide holder rows (photos) except for the current row.
CREATE INDEX idcardinfo_listing ON idcardinfo (idcardno, nation_no, name, address, blackflag);
-- Date range of the listing, and the join key.
CREATE INDEX idcardwater_readtime ON idcardwater (readtime, idcardno);
-- Duplicate test of the import and the ID-number prefix filter.
CREATE INDEX idcardwater_idcardno ON idcardwater (idcardno, readtime);

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
