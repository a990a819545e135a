// Catches: a log that reads back otherwise than it was written, a row cut short that hides the
// rows after it, a log saved again by a spreadsheet read as "nobody had it", a formula that a
// spreadsheet would run, a row written twice or lost when the disk was full, a corrected letter
// or an old log's mailing taken for another mailing.
#include "DeliveryLog.h"
#include "MailingHistory.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTimeZone>

#include <gtest/gtest.h>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

const QByteArray kBom = "\xEF\xBB\xBF";

// The addresses the log at `path` shows delivered in the mailing of letter "m", and the reading.
std::pair<QStringList, DeliveryLog::Reading> deliveredOfM(const QString &path)
{
    MailingHistory history;
    const DeliveryLog::Reading reading =
        DeliveryLog::read(path, [&](const DeliveryLog::Row &row) { history.add(row); });
    const MailingHistory::Mailing *m = history.mailingOf("m");
    QStringList delivered =
        m ? QStringList(m->delivered.begin(), m->delivered.end()) : QStringList();
    delivered.sort();
    return {delivered, reading};
}

DeliveryLog::Row row(const QString &address, DeliveryLog::Result result, const QString &reply)
{
    return {QDateTime(QDate(2026, 12, 7), QTime(9, 0, 12), QTimeZone(10800)),
            3,
            address,
            result,
            reply,
            "<5@x>",
            "m"};
}

} // namespace

TEST(DeliveryLog, EveryFormALogMayHaveGivesBackTheDeliveriesItHolds)
{
    using Encoding = DeliveryLog::Format::Encoding;
    const struct
    {
        const char *name;
        QByteArray log;
        QStringList delivered;
        qsizetype skipped;
        Encoding encoding;
        char separator;
    } cases[] = {
        {"as written, rows cut inside their quotes (after a doubled one too) before good ones",
         kBom + "time;line;address;result;reply;message_id;mailing\r\n"
                "2026-12-07T06:00:00Z;1;A@X.test;delivered;250 ok;<1@x>;m\r\n"
                "2026-12-07T06:00:03Z;2;b@x.test;failed;\"Connection; reset\r\n"
                "2026-12-07T06:00:04Z;2;b@x.test;delivered;\"250 \"\"ok\"\"\r\n"
                "2026-12-07T06:00:06Z;3;c@x.test;delivered;\"250 2.0.0; queued\";<3@x>;m\r\n"
                "2026-12-07T06:00:09Z;4;d@x.test;delivered;250;<4@x>;other\r\n"
                "2026-12-07T06:00:12Z;5;e@x.test;refused;550;<5@x>;m\r\n",
         {"a@x.test", "c@x.test"},
         2,
         Encoding::Utf8WithBom,
         ';'},
        {"saved again by a spreadsheet in Russian settings: Windows-1251, no mark",
         "time;line;address;result;reply;message_id;mailing\r\n"
         "07.12.2026 9:00;1;a@x.test;delivered;\"250 \xCF\xF0\xE8\xED\xFF\xF2\xEE; ok\";<1@x>;m\r\n"
         "07.12.2026 9:01;2;b@x.test;refused;550 \xCD\xE5\xF2;<2@x>;m\r\n"
         "07.12.2026 9:02;3;c@x.test;delivered;250;<3@x>;m\r\n",
         {"a@x.test", "c@x.test"},
         0,
         Encoding::Cp1251,
         ';'},
        {"columns in another order, with one the program does not know",
         "result,mailing,note,address\n"
         "delivered,m,\"first, of all\",a@x.test\n"
         "delivered,m,,c@x.test\n",
         {"a@x.test", "c@x.test"},
         0,
         Encoding::Utf8,
         ','},
        {"an earlier version's log: commas, no mark, a bare CR, a last row without its end",
         "time,line,address,result,reply,message_id,mailing\r\n"
         "2026-12-07T06:00:00Z,1,a@x.test,delivered,\"250 \"\"ok\"\", queued\",<1@x>,m\r"
         "2026-12-07T06:00:03Z,2,\xD0\xB1@x.test,delivered,,<2@x>,m\n"
         "2026-12-07T06:00:06Z,3,c@x.test,deliv",
         {"a@x.test", "б@x.test"},
         1,
         Encoding::Utf8,
         ','},
        {"addresses a spreadsheet would take for formulas, guarded",
         kBom + "time;line;address;result;reply;message_id;mailing\r\n"
                ";1;'=cmd@x.test;delivered;'-ERR;<1@x>;m\r\n"
                ";2;''@x.test;delivered;;<2@x>;m\r\n"
                ";3;'plain@x.test;delivered;;<3@x>;m\r\n",
         {"'@x.test", "'plain@x.test", "=cmd@x.test"},
         0,
         Encoding::Utf8WithBom,
         ';'},
        {"an empty file: no rows, and the form of a new log",
         "",
         {},
         0,
         Encoding::Utf8WithBom,
         ';'},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto [delivered, reading] = deliveredOfM(dir.write(DeliveryLog::FileName, c.log));
        EXPECT_TRUE(reading.exists);
        EXPECT_TRUE(reading.error.isNull()) << reading.error.toStdString();
        EXPECT_EQ(delivered, c.delivered);
        EXPECT_EQ(reading.skipped, c.skipped);
        EXPECT_EQ(reading.format.encoding, c.encoding);
        EXPECT_EQ(reading.format.separator, c.separator);
    }
}

TEST(DeliveryLog, ALogThatCannotBeReadOrUnderstoodSaysWhy)
{
    const struct
    {
        const char *name;
        std::function<void(const TempDir &, const QString &)> make;
        QString error;
    } cases[] = {
        {"no header",
         [](const TempDir &d, const QString &) {
             d.write(DeliveryLog::FileName, "a;b;c\r\n1;2;3\r\n");
         },
         "в нём нет строки заголовка"},
        {"a folder", [](const TempDir &, const QString &p) { QDir().mkdir(p); }, "это папка"},
#ifndef Q_OS_WIN
        {"a link to a log",
         [](const TempDir &d, const QString &p) {
             QFile::link(
                 d.write("real.csv", "time;line;address;result;reply;message_id;mailing\r\n"), p);
         },
         "символическая ссылка"},
        {"a link to nowhere",
         [](const TempDir &d, const QString &p) { QFile::link(d.filePath("none"), p); },
         "символическая ссылка"},
        {"a named pipe", [](const TempDir &, const QString &p) { ::mkfifo(qPrintable(p), 0600); },
         "не обычный файл"},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const QString path = dir.filePath(DeliveryLog::FileName);
        c.make(dir, path);
        const DeliveryLog::Reading reading = DeliveryLog::read(path, [](const DeliveryLog::Row &) {
            ADD_FAILURE() << "a row of a log that cannot be read";
        });
        EXPECT_TRUE(reading.exists);
        EXPECT_TRUE(reading.error.contains(c.error)) << reading.error.toStdString();
    }
    TempDir dir;
    const DeliveryLog::Reading missing =
        DeliveryLog::read(dir.filePath(DeliveryLog::FileName), [](const DeliveryLog::Row &) {});
    EXPECT_FALSE(missing.exists);
    EXPECT_TRUE(missing.error.isNull());
}

// The rows written read back field for field, by Python's csv module as a spreadsheet would
// (a formula guarded by "'") and by the program (the guard taken off again); no field ever
// holds a line end. Rows go on in the form of the file they are appended to.
TEST(DeliveryLog, RowsWrittenAsASpreadsheetOpensThemAndReadBackWhole)
{
    SKIP_WITHOUT_PYTHON();
    const QList<DeliveryLog::Row> rows = {
        row("=HYPERLINK(\"x\")@x.test", DeliveryLog::Result::Delivered,
            "250 \"ok\"; queued\r\n as 1\r\n"),
        row("'=x@x.test", DeliveryLog::Result::Refused, "-ERR \xD0\xBD\xD0\xB5\xD1\x82"),
        row("@x.test", DeliveryLog::Result::Failed, "+OK, but late"),
    };
    const struct
    {
        QByteArray start; // the file before the rows are appended; empty: a new log
        QString csvArguments, lastRow;
    } cases[] = {
        {"", "delimiter=';'", "2026-12-07T06:00:12Z|3|'@x.test|failed|'+OK, but late|<5@x>|m"},
        {"time,line,address,result,reply,message_id,mailing\r\n2026-12-07T06:00:00Z,1,a@x,deliv",
         "", "2026-12-07T06:00:12Z|3|'@x.test|failed|'+OK, but late|<5@x>|m"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.start.toStdString());
        TempDir dir;
        const QString path = dir.filePath(DeliveryLog::FileName);
        if (!c.start.isEmpty())
            dir.write(DeliveryLog::FileName, c.start);
        const DeliveryLog::Reading before =
            DeliveryLog::read(path, [](const DeliveryLog::Row &) {});
        DeliveryLog log(path, before.format);
        for (const DeliveryLog::Row &r : rows)
            ASSERT_TRUE(log.append(r).isNull());
        QProcess python;
        python.start("python3",
                     {"-c",
                      "import csv, sys\n"
                      "rows = list(csv.reader(open(sys.argv[1], newline='', "
                      "encoding='utf-8-sig'), " +
                          c.csvArguments +
                          "))\n"
                          "print(len(rows)); print('|'.join(rows[-3])); print('|'.join(rows[-1]))",
                      path});
        ASSERT_TRUE(python.waitForFinished());
        const QStringList out = QString::fromUtf8(python.readAllStandardOutput()).split('\n');
        EXPECT_EQ(out.value(0), c.start.isEmpty() ? "4" : "5");
        EXPECT_EQ(out.value(1), "2026-12-07T06:00:12Z|3|'=HYPERLINK(\"x\")@x.test|delivered|"
                                "250 \"ok\"; queued  as 1|<5@x>|m");
        EXPECT_EQ(out.value(2), c.lastRow);
        QList<DeliveryLog::Row> back;
        DeliveryLog::read(path, [&](const DeliveryLog::Row &r) { back << r; });
        ASSERT_EQ(back.size(), 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(back[i].address, rows[i].address);
            EXPECT_EQ(back[i].result, rows[i].result);
            EXPECT_EQ(back[i].time, rows[i].time);
        }
        EXPECT_EQ(back[0].reply, "250 \"ok\"; queued  as 1");
        EXPECT_EQ(back[1].reply, QString::fromUtf8("-ERR нет"));
    }
}

// A row that cannot be written waits and goes out once, whole, when the file can be written
// again, and the part of it that fitted is taken back: here a limit on the file's size, as a
// full disk does it.
TEST(DeliveryLog, ARowThatCannotBeWrittenWaitsAndIsWrittenOnceLater)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no limit on the size of a file on Windows";
#else
    TempDir dir;
    const QString path = dir.filePath(DeliveryLog::FileName);
    DeliveryLog log(path, {});
    ASSERT_TRUE(log.append(row("a@x.test", DeliveryLog::Result::Delivered, "250")).isNull());
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full = {rlim_t(QFileInfo(path).size() + 30), limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &full);
    const QString failed = log.append(row("b@x.test", DeliveryLog::Result::Delivered, "250"));
    const QString stillFailed = log.flush();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(failed.isNull());
    EXPECT_FALSE(stillFailed.isNull());
    EXPECT_TRUE(log.hasWaiting());
    EXPECT_TRUE(log.append(row("c@x.test", DeliveryLog::Result::Delivered, "250")).isNull());
    EXPECT_FALSE(log.hasWaiting());
    const auto [delivered, reading] = deliveredOfM(path);
    EXPECT_EQ(delivered, QStringList({"a@x.test", "b@x.test", "c@x.test"}));
    EXPECT_EQ(reading.skipped, 0) << "the part of b's row that fitted was taken back";
#endif
}

// Which mailing a letter belongs to: the one it began, or the one a corrected letter went on
// with; and whether the mailing reached the end of its list since its last send.
TEST(MailingHistory, CorrectedLettersBelongToTheirMailingAndTheEndIsKept)
{
    using R = DeliveryLog::Result;
    MailingHistory history;
    const auto add = [&](R result, const char *letter, const char *address = "",
                         const char *reply = "") {
        history.add({QDateTime(QDate(2026, 12, 7), QTime(9, 0), QTimeZone::utc()),
                     1,
                     address,
                     result,
                     reply,
                     {},
                     letter});
    };
    add(R::Delivered, "nov", "a@x");
    add(R::Finished, "nov");
    add(R::Delivered, "dec1", "a@x");
    add(R::Delivered, "dec1", "B@x");
    add(R::Continued, "dec2", "", "dec1");
    add(R::Delivered, "dec2", "c@x");
    add(R::Continued, "dec3", "", "dec2"); // corrected twice: still the first one's mailing
    add(R::Refused, "dec3", "d@x");
    ASSERT_NE(history.mailingOf("nov"), nullptr);
    EXPECT_TRUE(history.mailingOf("nov")->finished);
    EXPECT_EQ(history.mailingOf("dec3"), history.mailingOf("dec1"));
    EXPECT_EQ(history.latest(), history.mailingOf("dec2"));
    EXPECT_EQ(history.latest()->delivered, QSet<QString>({"a@x", "b@x", "c@x"}));
    EXPECT_FALSE(history.latest()->finished);
    EXPECT_EQ(history.mailingOf("other"), nullptr);
    add(R::Finished, "dec3");
    EXPECT_TRUE(history.latest()->finished);
    add(R::Delivered, "nov", "e@x"); // a new address on the list of a finished mailing
    EXPECT_FALSE(history.mailingOf("nov")->finished);
    EXPECT_EQ(history.latest()->name, "nov");
}

TEST(DeliveryLog, FingerprintsNameTheLetterAndNeverLookLikeNumbers)
{
    EXPECT_EQ(
        DeliveryLog::bodyFingerprint("Subject", "\r\nLine"),
        QCryptographicHash::hash("Subject\n\r\nLine", QCryptographicHash::Sha256).toHex().left(12));
    for (int i = 0; i < 200; ++i) {
        const QByteArray letter = QByteArray::number(i);
        const QByteArray name = DeliveryLog::fingerprint("s", letter);
        ASSERT_EQ(name.size(), 12);
        EXPECT_TRUE(name[0] >= 'a' && name[0] <= 'f') << name.toStdString();
        EXPECT_EQ(name.mid(1), DeliveryLog::bodyFingerprint("s", letter).mid(1));
    }
    EXPECT_NE(DeliveryLog::fingerprint("s", "a"), DeliveryLog::fingerprint("s", "b"));
}
