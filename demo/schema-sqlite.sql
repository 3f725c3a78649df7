-- The three ERP tables that travcard reads, as a SQLite file holds them.
-- The program attaches this file under the name PUBLIC, so plain tables suffice.
--
-- SQLite neither pads CHAR values nor ignores trailing blanks, so every CHAR
-- column compares with COLLATE RTRIM (as PostgreSQL's CHAR does), and the
-- length checks make sure each value is stored already padded to its width.
-- QTY_ORD is REAL so that a stored 25.0 reads back as the text 25.0, as
-- PostgreSQL's NUMERIC(9,1) does; a NUMERIC column would turn it into 25.

CREATE TABLE SHPORD_HDR (
    ID_SO        CHAR(9)  COLLATE RTRIM NOT NULL   -- right-aligned: order 12345 is four blanks then 12345
                 CHECK (length(ID_SO) = 9 AND ID_SO = printf('%9s', trim(ID_SO))),
    ID_LOC       CHAR(2)  COLLATE RTRIM NOT NULL CHECK (length(ID_LOC) = 2),
    SUFX_SO      INTEGER  NOT NULL,
    ID_ITEM_PAR  CHAR(20) COLLATE RTRIM CHECK (length(ID_ITEM_PAR) = 20),
    STAT_REC_SO  CHAR(1)  COLLATE RTRIM DEFAULT 'R' CHECK (length(STAT_REC_SO) = 1),
    DATE_DUE     DATE,
    PRIMARY KEY (ID_SO, ID_LOC, SUFX_SO)
);

-- No key over the operation number: an order may list the same operation twice.
CREATE TABLE SHPORD_OPER (
    ID_SO         CHAR(9)  COLLATE RTRIM NOT NULL
                  CHECK (length(ID_SO) = 9 AND ID_SO = printf('%9s', trim(ID_SO))),
    ID_LOC        CHAR(2)  COLLATE RTRIM NOT NULL CHECK (length(ID_LOC) = 2),
    SUFX_SO       INTEGER  NOT NULL,
    ID_OPER       INTEGER  NOT NULL,
    TYPE_OPER     CHAR(1)  COLLATE RTRIM NOT NULL CHECK (length(TYPE_OPER) = 1),
    ID_DEPT       CHAR(4)  COLLATE RTRIM CHECK (length(ID_DEPT) = 4),
    ID_WC         CHAR(4)  COLLATE RTRIM CHECK (length(ID_WC) = 4),
    DESCR_OPER_1  CHAR(30) COLLATE RTRIM CHECK (length(DESCR_OPER_1) = 30),
    QTY_ORD       REAL
);
CREATE INDEX SHPORD_OPER_ORDER ON SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO);

CREATE TABLE ITMMAS_BASE (
    ID_ITEM         CHAR(20) COLLATE RTRIM NOT NULL PRIMARY KEY CHECK (length(ID_ITEM) = 20),
    DESCR_1         CHAR(30) COLLATE RTRIM CHECK (length(DESCR_1) = 30),
    CODE_USER_3_IM  CHAR(10) COLLATE RTRIM CHECK (length(CODE_USER_3_IM) = 10),  -- printed as the customer
    KEY_ALT         CHAR(20) COLLATE RTRIM CHECK (length(KEY_ALT) = 20)          -- the customer's part number
);
