-- The three ERP tables that travcard reads, as PostgreSQL holds them.
-- Names are unquoted, so they fold to lower case; the program's PUBLIC.SHPORD_HDR
-- finds public.shpord_hdr. CHAR(n) pads with blanks and ignores trailing blanks
-- when comparing, as the ERP does.

CREATE TABLE public.SHPORD_HDR (
    ID_SO        CHAR(9)  NOT NULL   -- right-aligned: order 12345 is four blanks then 12345
                 CHECK (ID_SO = lpad(trim(ID_SO), 9)),
    ID_LOC       CHAR(2)  NOT NULL,
    SUFX_SO      SMALLINT NOT NULL,
    ID_ITEM_PAR  CHAR(20),
    STAT_REC_SO  CHAR(1)  DEFAULT 'R',
    DATE_DUE     DATE,
    PRIMARY KEY (ID_SO, ID_LOC, SUFX_SO)
);

-- No key over the operation number: an order may list the same operation twice.
CREATE TABLE public.SHPORD_OPER (
    ID_SO         CHAR(9)      NOT NULL CHECK (ID_SO = lpad(trim(ID_SO), 9)),
    ID_LOC        CHAR(2)      NOT NULL,
    SUFX_SO       SMALLINT     NOT NULL,
    ID_OPER       INTEGER      NOT NULL,
    TYPE_OPER     CHAR(1)      NOT NULL,
    ID_DEPT       CHAR(4),
    ID_WC         CHAR(4),
    DESCR_OPER_1  CHAR(30),
    QTY_ORD       NUMERIC(9,1)
);
CREATE INDEX SHPORD_OPER_ORDER ON public.SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO);

CREATE TABLE public.ITMMAS_BASE (
    ID_ITEM         CHAR(20) NOT NULL PRIMARY KEY,
    DESCR_1         CHAR(30),
    CODE_USER_3_IM  CHAR(10),  -- printed as the customer
    KEY_ALT         CHAR(20)   -- the customer's part number
);
