-- Demo shop orders for travcard. Loads unchanged into SQLite (after
-- schema-sqlite.sql) and PostgreSQL (after schema-postgresql.sql).
--
-- Every CHAR literal is written padded to its column's width, because SQLite
-- stores text as given; ID_SO is right-aligned in 9 characters. Rows are
-- inserted in the order the program is meant to see them: the queries have
-- no ORDER BY, so operations come back in insertion order (some orders list
-- their operations out of numeric order on purpose). Nothing here may be
-- UPDATEd later, or PostgreSQL would move the row to the end of its table.
-- demo/README.md says what each order is good for.

INSERT INTO ITMMAS_BASE (ID_ITEM, DESCR_1, CODE_USER_3_IM, KEY_ALT) VALUES
    ('WIDGET-100          ', 'WIDGET ASSEMBLY 100           ', 'ACME      ', 'AC-55-1002          '),
    ('BRACKET-7           ', 'MOUNTING BRACKET              ', 'NORTHWIND ', 'NW 7781             '),
    ('SHAFT-2200          ', 'DRIVE SHAFT 2200 MM           ', 'ACME      ', 'AC-22-0001          '),
    ('FLANGE-6            ', 'WELD FLANGE 6 IN              ', 'BAYSIDE   ', 'BSF-6-150           '),
    ('GEAR-48T            ', 'SPUR GEAR 48 TEETH            ', 'ORBITAL   ', 'OR-48T-A            '),
    ('CONVEYOR-ROLLER-2040', 'CONVEYOR ROLLER 2040 MM       ', 'NORTHWIND ', 'NW-RL-2040          '),
    ('PLATE-11            ', 'BASE PLATE 11 GA              ', NULL        , NULL                  ),
    ('MÜLLER-HALTER-3     ', 'HALTERUNG FÜR WELLE           ', 'MÜLLER    ', 'MÜ-4471-B           '),
    ('BUSHING-5           ', 'BRONZE BUSHING 5/8            ', 'ACME      ', 'AC-05-0508          '),
    ('CASTING-A           ', 'GEARBOX HOUSING CASTING       ', 'ORBITAL   ', 'OR-HSG-01           '),
    ('FRAME-20X40         ', 'WELDED FRAME 20 X 40          ', 'NORTHWIND ', 'NW-FR-2040          '),
    ('BOLT-M8X30          ', 'HEX BOLT M8 X 30              ', 'ACME      ', 'AC-M8-30            ');

INSERT INTO SHPORD_HDR (ID_SO, ID_LOC, SUFX_SO, ID_ITEM_PAR, DATE_DUE) VALUES
    ('    12345', 'ST', 0, 'WIDGET-100          ', '2026-03-02'),
    ('    12345', 'HM', 0, 'BRACKET-7           ', '2026-03-09'),
    ('    12345', 'ST', 1, 'WIDGET-100          ', '2026-03-16'),
    ('    23456', 'ST', 0, 'SHAFT-2200          ', '2026-04-01'),
    ('  1234567', 'ST', 0, 'GEAR-48T            ', '2026-04-15'),
    ('   456789', 'HM', 0, 'FLANGE-6            ', '2026-04-20'),
    ('123456789', 'HM', 0, 'CONVEYOR-ROLLER-2040', '2026-05-04'),
    ('      501', 'HM', 0, 'GHOST-PART-9        ', '2026-05-11'),
    ('    60001', 'ST', 0, 'PLATE-11            ', '2026-05-18'),
    ('    31415', 'HM', 0, 'MÜLLER-HALTER-3     ', '2026-06-01'),
    ('    88888', 'HM', 2, 'BUSHING-5           ', '2026-06-08'),
    ('    70070', 'ST', 0, 'CASTING-A           ', '2026-06-15'),
    ('    99001', 'ST', 0, NULL                  , NULL),
    ('    99002', 'HM', 0, 'FRAME-20X40         ', '2026-07-01');

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    12345', 'ST', 0,   10, 'L', 'FAB ', 'SAW1', 'CUT TO LENGTH                 ',  25.0),
    ('    12345', 'ST', 0,   20, 'L', 'MACH', 'MILL', 'MILL SLOT 12 MM               ',  25.0),
    ('    12345', 'ST', 0,   30, 'S', 'OUTS', 'VEND', 'HEAT TREAT (OUTSIDE)          ',  25.0),
    ('    12345', 'ST', 0,   40, 'L', 'WELD', 'WELD', 'WELD BRACKET TO BASE          ',  25.0),
    ('    12345', 'ST', 0,   50, 'L', 'PNT ', 'PNT1', 'PAINT RAL 5010                ',  25.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    12345', 'HM', 0,   10, 'L', 'MACH', 'LATH', 'TURN OD                       ', 100.0),
    ('    12345', 'HM', 0,   20, 'L', 'MACH', 'DRL1', 'DRILL 4 HOLES ~6.5 MM         ', 100.0),
    ('    12345', 'HM', 0,   30, 'L', 'QC  ', 'INSP', 'FINAL INSPECTION              ',  98.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    12345', 'ST', 1,   10, 'L', 'MACH', 'MILL', 'REWORK SLOT                   ',   2.5),
    ('    12345', 'ST', 1,   20, 'L', 'QC  ', 'INSP', 'RE-INSPECT                    ',   2.5);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    23456', 'ST', 0,   10, 'L', 'FAB ', 'SAW1', 'SAW BAR STOCK                 ',  12.0),
    ('    23456', 'ST', 0,   20, 'L', 'MACH', 'HELP', 'HELPER FOR SET-UP             ',  12.0),
    ('    23456', 'ST', 0,   20, 'L', 'MACH', 'LATH', 'TURN SHAFT                    ',  12.0),
    ('    23456', 'ST', 0,   30, 'L', 'MACH', 'HELP', 'HELPER LOADING                ',  12.0),
    ('    23456', 'ST', 0,   40, 'L', 'QC  ', 'INSP', 'INSPECT RUNOUT                ',  12.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('  1234567', 'ST', 0,   30, 'L', 'MACH', 'HOB1', 'HOB TEETH                     ',  48.0),
    ('  1234567', 'ST', 0,   10, 'L', 'FAB ', 'SAW1', 'SAW BLANK                     ',  50.0),
    ('  1234567', 'ST', 0,   20, 'L', 'MACH', 'LATH', 'TURN BLANK                    ',  49.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('   456789', 'HM', 0,   10, 'L', 'FAB ', 'SAW1', 'CUT RING                      ',   6.0),
    ('   456789', 'HM', 0,   20, 'L', 'QC  ', NULL  , 'VISUAL CHECK                  ',   6.0),
    ('   456789', 'HM', 0,   30, 'L', 'WELD', 'WELD', 'WELD NECK TO RING             ',   6.0),
    ('   456789', 'HM', 0,   40, 'L', 'PNT ', 'PNT1', NULL                            ,   6.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('123456789', 'HM', 0,  100, 'L', 'ASSY', 'ASM1', 'ASSEMBLE ^ PRESS BEARINGS     ',  40.0),
    ('123456789', 'HM', 0, 1000, 'L', 'QC  ', 'INSP', 'FINAL INSPECTION              ',  40.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('      501', 'HM', 0,   10, 'L', 'FAB ', 'SAW1', 'CUT TO LENGTH                 ',   3.0),
    ('      501', 'HM', 0,   20, 'L', 'WELD', 'WELD', 'TACK AND WELD                 ',   3.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    60001', 'ST', 0,   10, 'S', 'OUTS', 'VEND', 'LASER CUT (OUTSIDE)           ', 200.0),
    ('    60001', 'ST', 0,   20, 'S', 'OUTS', 'VEND', 'ZINC PLATE (OUTSIDE)          ', 200.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    31415', 'HM', 0,   10, 'L', 'FAB ', 'SAW1', 'SÄGEN AUF LÄNGE               ',  15.0),
    ('    31415', 'HM', 0,   20, 'L', 'WELD', 'WELD', 'SCHWEISSEN                    ',  15.0),
    ('    31415', 'HM', 0,   30, 'L', 'PNT ', 'PNT1', 'LACKIEREN                     ',  15.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    88888', 'HM', 2,   10, 'L', 'MACH', 'LATH', 'TURN AND BORE                 ', 500.0),
    ('    88888', 'HM', 2,   20, 'L', 'QC  ', 'INSP', 'CHECK PER CUSTOMER''S DWG      ', 500.0);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    70070', 'ST', 0,   10, 'L', 'MACH', 'MILL', 'FACE MILL                     ',  40.0),
    ('    70070', 'ST', 0,   20, 'L', 'MACH', 'DRL1', 'DRILL AND TAP                 ',  38.5),
    ('    70070', 'ST', 0,   30, 'S', 'OUTS', 'VEND', 'IMPREGNATE (OUTSIDE)          ',  38.5);

INSERT INTO SHPORD_OPER (ID_SO, ID_LOC, SUFX_SO, ID_OPER, TYPE_OPER, ID_DEPT, ID_WC, DESCR_OPER_1, QTY_ORD) VALUES
    ('    99001', 'ST', 0,   10, 'L', 'FAB ', 'SAW1', 'CUT                           ',   1.0);
