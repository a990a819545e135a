// Catches: a log row that Python's csv module reads otherwise, a row cut short by a crash that
// swallows the next one, deliveries of another mailing or other verdicts taken for this one's.
#include "DeliveryLog.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTimeZone>

#include <gtest/gtest.h>

TEST(DeliveryLog, RowsAsPythonReadsThemAndTheDeliveriesOfOneMailing)
{
    SKIP_WITHOUT_PYTHON();
    TempDir dir;
    const QString path = dir.write(DeliveryLog::FileName,
                                   "time,line,address,result,reply,message_id,mailing\r\n"
                                   "2026-12-07T06:00:00Z,1,A@X.test,delivered,,<1@x>,m\r"
                                   "2026-12-07T06:00:30Z,7,z@x.test,delivered,,<7@x>,m\n"
                                   "2026-12-07T06:00:03Z,2,b@x.test,delivered,,<2@x>,other\r\n"
                                   "2026-12-07T06:00:06Z,3,c@x.test,refused,550,<3@x>,m\r\n"
                                   "2026-12-07T06:00:09Z,4,d@x.test,deliv");
    DeliveryLog log(path);
    DeliveryLog::Row row{QDateTime(QDate(2026, 12, 7), QTime(9, 0, 12), QTimeZone(10800)),
                         0,
                         "e,\"é\"@x.test",
                         DeliveryLog::Result::Delivered,
                         "250 \"ok\", queued\r\n as 1\r\n",
                         "<5@x>",
                         "m"};
    ASSERT_TRUE(log.append(row).isNull());
    QProcess python;
    python.start("python3", {"-c",
                             "import csv, sys\n"
                             "for r in csv.reader(open(sys.argv[1], newline='', "
                             "encoding='utf-8')): print('|'.join(r))",
                             path});
    ASSERT_TRUE(python.waitForFinished());
    EXPECT_EQ(QString::fromUtf8(python.readAllStandardOutput()).split('\n').mid(5).join('\n'),
              "2026-12-07T06:00:09Z|4|d@x.test|deliv\n"
              "2026-12-07T06:00:12Z||e,\"é\"@x.test|delivered|250 \"ok\", queued  as 1|<5@x>|m\n");
    const DeliveryLog::History history = DeliveryLog::read(path, "m");
    EXPECT_EQ(history.delivered, QSet<QString>({"a@x.test", "z@x.test", "e,\"é\"@x.test"}));
    EXPECT_EQ(history.last, QDateTime(QDate(2026, 12, 7), QTime(6, 0, 30), QTimeZone::utc()));
    EXPECT_TRUE(DeliveryLog::read(dir.filePath("none.csv"), "m").delivered.isEmpty());
}
