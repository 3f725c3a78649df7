#include "db/odbc.h"

#include "tests/fixtures/data_source.h"
#include "text/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::HasSubstr;

class Odbc : public ::testing::Test {
protected:
    void SetUp() override { cn.open("DSN=xfODBC;UID=tkr;PWD=opr_relay"); }
    odbc::Connection cn;
};

TEST_F(Odbc, BindsTextAndNumbersAndReadsColumnsByNameInAnyCase)
{
    odbc::ResultSet rs = cn.query(
        "select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? and SUFX_SO = ?",
        {std::string("    12345"), std::string("ST"), std::int64_t{0}});
    ASSERT_EQ(rs.rowCount(), 5u);
    EXPECT_EQ(rs.text("id_oper"), "10");
    EXPECT_EQ(rs.text("ID_OPER"), "10");
    EXPECT_EQ(rs.text("Descr_Oper_1"), "CUT TO LENGTH                 ");
    EXPECT_EQ(rs.text("QTY_ORD"), "25.0");
    std::vector<std::string> operations;
    for (rs.moveFirst(); !rs.eof(); rs.moveNext())
        operations.push_back(rs.text("ID_OPER"));
    EXPECT_EQ(operations, (std::vector<std::string>{"10", "20", "30", "40", "50"}));
    EXPECT_THROW(rs.text("ID_OPER"), odbc::Error) << "past the last row";
}

TEST_F(Odbc, NullReadsAsEmptyTextButCanBeToldApart)
{
    odbc::ResultSet rs = cn.query("select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_OPER = ?",
                                  {std::string("   456789"), std::int64_t{20}});
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.text("ID_WC"), "");
    EXPECT_TRUE(rs.isNull("ID_WC"));
    EXPECT_FALSE(rs.isNull("ID_DEPT"));
}

TEST_F(Odbc, TextParametersCompareIgnoringTrailingBlanksAndKeepUnicode)
{
    odbc::ResultSet rs = cn.query("select * from PUBLIC.ITMMAS_BASE where ID_ITEM = ?",
                                  {std::string("M\u00dcLLER-HALTER-3")});
    ASSERT_EQ(rs.rowCount(), 1u);
    EXPECT_EQ(rs.text("CODE_USER_3_IM"), "M\u00dcLLER    ");
}

TEST_F(Odbc, LongTextAndCharactersBeyondTheBasicPlaneComeBackExactly)
{
    // ASCII, two-, three- and four-byte UTF-8 in turn, so that the pieces in
    // which a long value is read split it at every kind of character.
    std::string value;
    for (int i = 0; i < 3000; ++i)
        value += "a\u00fc\u20ac\U0001F600\U00020000";  // 5 characters: ü € 😀 and a CJK extension B ideograph
    cn.query("create temp table TEXT_SAMPLE (VAL varchar(20000))");
    cn.query("insert into TEXT_SAMPLE (VAL) values (?)", {value});
    const odbc::ResultSet rs = cn.query("select VAL, length(VAL) as CHARACTERS from TEXT_SAMPLE");
    ASSERT_EQ(rs.rowCount(), 1u);
    EXPECT_EQ(rs.text("CHARACTERS"), "15000") << "the database holds each character as one";
    EXPECT_TRUE(rs.text("VAL") == value) << "the value read back differs";
}

TEST_F(Odbc, AQuoteInAParameterIsJustACharacter)
{
    EXPECT_TRUE(cn.query("select * from PUBLIC.SHPORD_HDR where ID_SO = ?",
                         {std::string("' or ''='")})
                    .eof());
}

TEST_F(Odbc, MaxRowsBoundsTheResult)
{
    EXPECT_EQ(cn.query("select * from PUBLIC.ITMMAS_BASE", {}, {.maxRows = 1}).rowCount(), 1u);
}

TEST_F(Odbc, ErrorsCarrySqlstateNativeNumberAndText)
{
    try {
        cn.query("select * from PUBLIC.NO_SUCH_TABLE");
        FAIL() << "no error";
    } catch (const odbc::Error& error) {
        EXPECT_EQ(error.sqlstate().size(), 5u);
        EXPECT_THAT(text::upperAscii(error.text()), HasSubstr("NO_SUCH_TABLE"));
        EXPECT_THAT(odbc::describe(error), HasSubstr("SQLSTATE " + error.sqlstate()));
        EXPECT_THAT(odbc::describe(error),
                    HasSubstr("Database error " + std::to_string(error.nativeError())));
    }
}

TEST_F(Odbc, AClosedConnectionRefusesQueries)
{
    cn.close();
    EXPECT_FALSE(cn.isOpen());
    EXPECT_THROW(cn.query("select 1"), odbc::Error);
}

}  // namespace
