#include "db/database_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

TEST(DatabaseSession, AQueryThatFailsForAnotherReasonThanTheConnectionIsNotRepeated)
{
    DatabaseSession session("DSN=xfODBC;UID=tkr;PWD=opr_relay");
    session.open();
    try {
        session.query("select * from PUBLIC.NO_SUCH_TABLE");
        FAIL() << "no error";
    } catch (const odbc::Error& error) {
        EXPECT_FALSE(error.connectionLost());
        EXPECT_THAT(odbc::describe(error), ::testing::StartsWith("Database error "));
    }
    EXPECT_EQ(session.connectionsOpened(), 1);
    EXPECT_FALSE(session.query("select * from PUBLIC.SHPORD_HDR").eof());
}

TEST(DatabaseSession, AClosedConnectionIsOpenedAgainForTheNextQuery)
{
    DatabaseSession session("DSN=xfODBC;UID=tkr;PWD=opr_relay");
    session.open();
    session.close();
    EXPECT_FALSE(session.query("select * from PUBLIC.SHPORD_HDR").eof());
    EXPECT_EQ(session.connectionsOpened(), 2);
}

}  // namespace
