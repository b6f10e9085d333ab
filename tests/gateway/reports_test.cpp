// Scheduled reports: reading the settings and the once-a-minute firing.
#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "gateway/gateway.h"
#include "gateway/reports.h"
#include "gateway/spine_support.h"

namespace tolvane {
namespace {

using testing_support::IniFile;

std::tm at(int wday, int hour, int min, int sec = 0) {
    std::tm t{};
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

TEST(ReportsConfigure, ValidEntryWithDefaults) {
    IniFile ini("report time=\"07:30\" to=\"+61400111222\"\n");
    ASSERT_TRUE(ini.ok());
    auto r = reports_configure(ini.get());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].hour, 7);
    EXPECT_EQ(r[0].min, 30);
    ASSERT_TRUE(r[0].to);
    EXPECT_EQ(*r[0].to, "+61400111222");
    EXPECT_EQ(r[0].message, "Tolvane is alive");
    EXPECT_EQ(r[0].days, DAY_ALL);
    EXPECT_EQ(r[0].done, 0);
}

TEST(ReportsConfigure, EachLineInOrder) {
    IniFile ini(
        "report time=\"07:30\" to=\"1\" message=\"first\" days=\"Sat-Sun\"\n"
        "report time=\"23.05\" to=\"2\" message=\"second\" days=\"Mon,Wed\"\n");
    auto r = reports_configure(ini.get());
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].message, "first");
    EXPECT_EQ(r[0].days, DAY_SAT | DAY_SUN);
    EXPECT_EQ(r[1].hour, 23);
    EXPECT_EQ(r[1].min, 5);
    EXPECT_EQ(r[1].days, DAY_MON | DAY_WED);
}

TEST(ReportsConfigure, TimeWithoutMinuteIsDisabled) {
    IniFile ini("report time=\"7\" to=\"1\"\n");
    auto r = reports_configure(ini.get());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].to);
}

TEST(ReportsConfigure, MissingRecipientIsDisabled) {
    IniFile ini("report time=\"07:30\" message=\"x\"\n");
    auto r = reports_configure(ini.get());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].to);
}

TEST(ReportsConfigure, ImpossibleTimesAreDisabled) {
    IniFile ini(
        "report time=\"24:00\" to=\"1\"\n"
        "report time=\"12:60\" to=\"1\"\n"
        "report time=\"x12:00\" to=\"1\"\n"
        "report time=\"12:00\" to=\"1\"\n");
    auto r = reports_configure(ini.get());
    ASSERT_EQ(r.size(), 4u);
    EXPECT_FALSE(r[0].to);
    EXPECT_FALSE(r[1].to);
    EXPECT_FALSE(r[2].to);
    EXPECT_TRUE(r[3].to);
}

TEST(ReportsConfigure, NoReportLinesNoReports) {
    IniFile ini("loglevel info\n");
    EXPECT_TRUE(reports_configure(ini.get()).empty());
}

class ReportsTick : public ::testing::Test {
  protected:
    void SetUp() override {
        report_on r;
        r.hour = 7;
        r.min = 30;
        r.to = "+61400";
        r.message = "alive";
        r.days = DAY_SAT | DAY_SUN;
        reports_.push_back(r);
    }
    int tick(const std::tm& t) {
        int n = 0;
        reports_tick(reports_, t, [&](std::size_t i, const report_on& r) {
            EXPECT_EQ(i, 0u);
            EXPECT_EQ(r.message, "alive");
            ++n;
        });
        return n;
    }
    std::vector<report_on> reports_;
};

TEST_F(ReportsTick, OnceInItsMinuteOnAMatchingDay) {
    int sent = 0;
    for (int s = 0; s < 60; ++s) sent += tick(at(6, 7, 30, s));  // Saturday
    EXPECT_EQ(sent, 1);
}

TEST_F(ReportsTick, AgainOnTheNextMatchingDay) {
    EXPECT_EQ(tick(at(6, 7, 30)), 1);
    EXPECT_EQ(tick(at(6, 7, 31)), 0);
    EXPECT_EQ(tick(at(0, 7, 30)), 1);  // Sunday
}

TEST_F(ReportsTick, NotOnOtherDaysOrTimes) {
    int sent = 0;
    for (int d = 1; d <= 5; ++d) sent += tick(at(d, 7, 30));
    sent += tick(at(6, 7, 29));
    sent += tick(at(6, 8, 30));
    EXPECT_EQ(sent, 0);
}

TEST_F(ReportsTick, DisabledEntryNeverFires) {
    reports_[0].to.reset();
    EXPECT_EQ(tick(at(6, 7, 30)), 0);
}

TEST_F(ReportsTick, BadWeekdayNeverFires) {
    EXPECT_EQ(tick(at(9, 7, 30)), 0);
}

}  // namespace
}  // namespace tolvane
