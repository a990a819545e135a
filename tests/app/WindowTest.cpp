// Catches: a control off its design, a start-up that hangs or strays from the job, a bad folder.
#include "AppHarness.h"
#include "JobFolder.h"

#include <QCloseEvent>
#include <QFontInfo>
#include <QGroupBox>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN // no SIGALRM: CTest's time-out ends a run that hangs
unsigned alarm(unsigned)
{
    return 0;
}
#endif

// Puts a folder ('f'), a pipe ('p') or a device ('d', Linux only) at `path`.
void replace(const QString &path, char kind)
{
    QFile::remove(path);
#ifdef Q_OS_WIN
    ASSERT_TRUE(kind == 'f' && QDir().mkdir(path)) << "no pipes or devices in a folder on Windows";
#else
    ASSERT_TRUE((kind == 'f' && QDir().mkdir(path)) ||
                (kind == 'p' && ::mkfifo(qPrintable(path), 0600) == 0) ||
                (kind == 'd' && QFile::link("/dev/zero", path)));
#endif
}

const QString kSpecial = QStringLiteral("это не обычный файл, а канал, устройство или сокет");

} // namespace

TEST(Window, EveryControlAndSettingAsDesigned)
{
    AppHarness h;
    h.dir.writeAll("", "", "", "", ""); // the design-time texts must not show either
    frmBrevant &w = h.open(0, {}, frmBrevant::SeriesInterval);
    QFile design(QStringLiteral(BREVANT_CONTROLS));
    ASSERT_TRUE(design.open(QIODevice::ReadOnly | QIODevice::Text));
    int rows = 0;
    for (const QString &line :
         QString::fromUtf8(design.readAll()).split('\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split('|');
        if (line.startsWith('#') || f.size() != 8)
            continue;
        SCOPED_TRACE(f[0].toStdString());
        ++rows;
        auto *control = w.findChild<QWidget *>(f[0]);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->parentWidget()->objectName(), f[1]);
        EXPECT_EQ(control->geometry(), QRect(f[2].toInt() / 15, f[3].toInt() / 15,
                                             f[4].toInt() / 15, f[5].toInt() / 15));
        const auto *box = qobject_cast<QPlainTextEdit *>(control);
        EXPECT_EQ(box ? box->toPlainText()
                      : control->property("text").toString() +
                            control->property("title").toString(),
                  f[6]);
        EXPECT_EQ(control->toolTip(), f[7]);
    }
    EXPECT_EQ(rows, 19);
    EXPECT_EQ(w.findChildren<QWidget *>(QRegularExpression("^(?!qt_).+")).size(), rows);
    EXPECT_TRUE(w.Timer1->interval() == 3000 && w.Timer1->timerType() == Qt::PreciseTimer &&
                !w.Timer1->isActive());
    EXPECT_EQ(w.txtMessage->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(w.txtMessage->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.lstAttachments->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_TRUE(w.minimumSize() == QSize(442, 418) && w.maximumSize() == QSize(442, 418));
    EXPECT_EQ(w.windowTitle(), "Программа отправки почтовых сообщений");
    EXPECT_EQ(w.windowIcon().availableSizes(),
              QList<QSize>{QSize(32, 32)}); // pixels: the package test
    // Each caption fits its label in the default font, which has every letter of it.
    const QString family = QFontInfo(w.font()).family();
#ifdef Q_OS_WIN // where Liberation Sans is missing: Arial, its metric twin
    EXPECT_TRUE(family == "Liberation Sans" || family == "Arial") << family.toStdString();
#else
    EXPECT_EQ(family, "Liberation Sans");
#endif
    for (QLabel *label : {w.Label1, w.Label2, w.Label3, w.Label4}) {
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        for (QChar ch : label->text())
            EXPECT_TRUE(label->fontMetrics().inFontUcs4(ch.unicode()));
    }
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QStringList visited = {QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 11; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(visited.join(' '), "txtHost txtSender txtRecipient txtSubject txtMessage cmdNew "
                                 "cmdSend cmdAddFile cmdRemove lstAttachments Command1 txtHost");
}

TEST(Window, StartUpShowsTheJobAsLoaded)
{
    const struct
    {
        QByteArray recipients, host, sender, subject, message;
        QString shown; // recipient, host, sender, subject and message, joined by "|"
    } cases[] = {
        {"a@x\r\nb@x", " host \r\nignored", " me@x ", "\xD2\xE5\xEC\xE0", "Hi\r\nthere",
         "a@x| host | me@x |Тема|\nHi\nthere"},
        {"a@x\nb@x\n", "host\n", "me@x\n", QStringLiteral("Привет\nне тема\n").toUtf8(),
         QStringLiteral("Строка\nещё\n").toUtf8(), "a@x|host|me@x|Привет|\nСтрока\nещё"},
        // The notice block goes in front of the body of a list of 42, never into the window.
        {TempDir::addresses(42), "h", "s", "t", "Hi", "user0@example.test|h|s|t|\nHi"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown.toStdString());
        AppHarness h;
        h.dir.writeAll(c.recipients, c.host, c.sender, c.subject, c.message);
        frmBrevant &w = h.open(0);
        EXPECT_EQ(QStringList({w.txtRecipient->text(), w.txtHost->text(), w.txtSender->text(),
                               w.txtSubject->text(), w.txtMessage->toPlainText()})
                      .join('|'),
                  c.shown);
        QTest::qWait(1);
        EXPECT_TRUE(h.boxes.isEmpty());
    }
}

TEST(Window, StartUpBoxNamesEveryProblemAndNothingHangs)
{
    const struct
    {
        std::function<void(const TempDir &)> breakJob;
        QStringList box; // parts of the one box
    } cases[] = {
        {[](const TempDir &dir) {
             for (const char *f : {"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"})
                 QFile::remove(dir.filePath(f));
         },
         {"mail.txt: файл не найден", "smtp.txt: файл не найден", "sender.txt: файл не найден",
          "tema.txt: файл не найден", "message.txt: файл не найден", "Папка задания: "}},
        {[](const TempDir &dir) {
             replace(dir.filePath("tema.txt"), 'f');
             replace(dir.filePath("message.txt"), 'p');
             replace(dir.filePath("mail.txt"), 'd');
         },
         {"tema.txt: это папка, а не файл", "message.txt: " + kSpecial, "mail.txt: " + kSpecial}},
        {[](const TempDir &dir) { dir.write("mail.txt", TempDir::addresses(10002)); },
         {"В файле mail.txt больше 10001 строк: последние 1 не загружены."}},
        {[](const TempDir &dir) { dir.write("tema.txt", QStringLiteral("Привет 😀\n中").toUtf8()); },
         {"Этих символов нет в кодировке Windows-1251, они будут отправлены как «?»:\n"
          "tema.txt, строка 1: 😀"}},
    };
    for (const auto &c : cases) {
#ifdef Q_OS_WIN
        if (&c == &cases[1]) // a pipe and a device
            continue;
#endif
        SCOPED_TRACE(c.box.first().toStdString());
        AppHarness h;
        c.breakJob(h.dir);
        alarm(10); // ends the run if a pipe blocks the window or a device never ends
        frmBrevant &w = h.open(0);
        alarm(0);
        // Whatever can be read still loads.
        EXPECT_EQ(w.txtSender->text(), &c == &cases[0] ? "" : "me@example.test");
        ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
        QTest::qWait(10);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].icon, QMessageBox::Warning);
        for (const QString &part : c.box)
            EXPECT_TRUE(h.boxes[0].text.contains(part)) << h.boxes[0].text.toStdString();
    }
    // The recipient box holds a job line whole, however long: it is read back when sent.
    AppHarness h;
    h.dir.write("mail.txt", QByteArray(10 << 20, 'x'));
    EXPECT_EQ(h.open(0).txtRecipient->text().size(), 10 << 20);
}

TEST(Window, NewMessageEmptiesThreeBoxesAndClosingIsNeverRefused)
{
    AppHarness h;
    ScriptedServer server;
    frmBrevant &w = h.open(server.port());
    h.attach({h.dir.write("file.bin", "data")});
    w.Command1->click();
    for (int press = 0; press < 2; ++press) {
        w.cmdNew->click();
        EXPECT_EQ(
            QStringList({w.txtRecipient->text(), w.txtSubject->text(), w.txtMessage->toPlainText(),
                         w.txtHost->text(), w.txtSender->text()}),
            QStringList({"", "", "", "127.0.0.1", "me@example.test"}));
        EXPECT_EQ(w.lstAttachments->count(), 1);
        EXPECT_EQ(w.job.MessageText, "\r\nLine one\r\nLine two");
        EXPECT_TRUE(w.Timer1->isActive()) << "a running series goes on";
    }
    QCloseEvent event;
    QApplication::sendEvent(&w, &event);
    EXPECT_TRUE(event.isAccepted());
}

TEST(Window, UnreadableAttachmentCancelsTheSendWithABox)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no named pipe in a folder on Windows";
#endif
    AppHarness h;
    ScriptedServer server;
    frmBrevant &w = h.open(server.port());
    h.dir.write("ok.txt", "abc");
    replace(h.dir.filePath("bad.bin"), 'p'); // a pipe that nobody writes to: no hang either
    h.attach({h.dir.filePath("ok.txt"), h.dir.filePath("bad.bin")});
    alarm(10);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 2; }));
    alarm(0);
    EXPECT_EQ(h.boxes[0].title, "Attach files");
    EXPECT_EQ(h.boxes[0].text, "Не удалось вложить файл «" + h.dir.filePath("bad.bin") +
                                   "»: " + kSpecial + "\nПисьмо не отправлено.");
    EXPECT_EQ(w.Label5->text(), "0");
    EXPECT_TRUE(w.Timer1->isActive()) << "the series tries again at the next tick";
    EXPECT_TRUE(server.connections.isEmpty());
    EXPECT_EQ(w.lstAttachments->currentRow(), 1);
}

TEST(Window, JobFolderFromTheArgumentTheCurrentDirectoryOrTheDialog)
{
    TempDir root;
    const QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath("job") && dir.mkpath("empty") && dir.mkpath("picked"));
    root.write("job/mail.txt", "");
    const QString job = dir.filePath("job"), empty = dir.filePath("empty");
    const QString picked = dir.filePath("picked"), file = dir.filePath("job/mail.txt");
    const struct
    {
        QString argument, current, answer, folder; // answer: what the dialog returns
        bool asked, error;
    } cases[] = {
        {"", job, "", job, false, false},
        {"", empty, picked, picked, true, false},
        {"", empty, "", empty, true, false},
        {job, empty, "", job, false, false},
        {"../job", empty, "", job, false, false},
        {file, empty, "", job, false, false},
        {dir.filePath("no"), job, "", job, false, true},
        {dir.filePath("job/tema.txt"), empty, "", empty, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument.toStdString() + " in " + c.current.toStdString());
        bool asked = false;
        const JobFolder::Choice choice = JobFolder::choose(c.argument, c.current, [&] {
            asked = true;
            return c.answer;
        });
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(choice.folder, c.folder);
        EXPECT_EQ(!choice.error.isEmpty(), c.error);
        EXPECT_TRUE(!c.error || choice.error.contains(QDir::toNativeSeparators(c.argument)))
            << choice.error.toStdString();
    }
}
