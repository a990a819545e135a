// Catches: a control missing, misplaced, mislabelled or with a wrong hint or setting, a wrong tab
// order, a resizable window, start-up that shows other values than the job's, a job problem
// (missing, a folder, a pipe, a device, too many lines, characters Windows-1251 lacks) without
// its box or one that hangs the window, a reset that empties too much, a refused close, and an
// attachment list that adds, keeps or removes the wrong entries or sends an unreadable file.
#include "AppHarness.h"
#include "MailingJob.h"
#include "ScriptedServer.h"

#include <QCloseEvent>
#include <QFontInfo>
#include <QGroupBox>

#include <condition_variable>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace {

// Ends the test program when the window has not answered within a few seconds: an open that
// blocks on a pipe, or a read that never ends on a device, would otherwise hang the run.
class Watchdog
{
public:
    Watchdog()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_stopped.wait_for(lock, std::chrono::seconds(10), [this] { return m_stop; })) {
                  std::fputs("FAIL: the window did not answer within 10 s\n", stderr);
                  std::_Exit(1);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_stopped.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stop = false;
    std::thread m_thread; // last: it starts once the rest is ready
};

enum class Kind { Missing, Folder, Pipe, Device };

// Puts something other than a readable file at `path`.
void replace(const QString &path, Kind kind)
{
    QFile::remove(path);
    const bool made =
        kind == Kind::Missing || (kind == Kind::Folder && QDir().mkdir(path)) ||
        (kind == Kind::Pipe && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0) ||
        (kind == Kind::Device && QFile::link(QStringLiteral("/dev/zero"), path));
    ASSERT_TRUE(made) << qPrintable(path);
}

const QString kSpecial = QStringLiteral("это не обычный файл, а канал, устройство или сокет");

} // namespace

TEST(Window, EveryControlWhereItWasDesignedWithItsHint)
{
    AppHarness h;
    h.dir.writeAll("", "", "", "", ""); // the design-time texts must not show either
    frmBrevant &w = h.open(25, {}, frmBrevant::SeriesInterval);
    const struct
    {
        const char *name, *parent;
        QString text;
        QRect twips;
        QString hint;
    } rows[] = {
        {"Label1", "frmBrevant", "Хост SMTP:", {480, 120, 900, 195}, {}},
        {"Label2", "frmBrevant", "Ваш E-mail:", {480, 480, 825, 195}, {}},
        {"Label3", "frmBrevant", "E-mail адресата:", {120, 840, 1215, 195}, {}},
        {"Label4", "frmBrevant", "Тема:", {840, 1200, 450, 195}, {}},
        {"txtHost",
         "frmBrevant",
         "",
         {1440, 120, 3015, 285},
         "Адрес SMTP сервера (чаще всего адрес сервера Вашего Интернет-провайдера). Загружается "
         "из файла smtp.txt"},
        {"txtSender",
         "frmBrevant",
         "",
         {1440, 480, 3015, 285},
         "Ваш e-mail. Загружается из файла sender.txt"},
        {"txtRecipient",
         "frmBrevant",
         "",
         {1440, 840, 3015, 285},
         "Адреса загружаются из файла mail.txt"},
        {"txtSubject",
         "frmBrevant",
         "",
         {1440, 1200, 3015, 285},
         "Тема. Заголовок письма. Загружается из файла tema.txt"},
        {"txtMessage",
         "frmBrevant",
         "",
         {120, 1560, 6375, 2415},
         "Тело письма. Почтовое сообщение загружается из файла message.txt Обычный текст. HTML не "
         "поддерживается (используйте версию 2.0 для отправки писем в формате HTML)."},
        {"cmdNew", "frmBrevant", "Новое сообщение", {4800, 120, 1695, 375}, {}},
        {"cmdSend", "frmBrevant", "Послать одно", {4800, 600, 1695, 375}, {}},
        {"Frame1", "frmBrevant", "Attach files", {120, 4080, 6375, 1215}, {}},
        {"cmdAddFile", "Frame1", "Вложить...", {4920, 240, 1335, 375}, {}},
        {"cmdRemove", "Frame1", "Удалить", {4920, 720, 1335, 375}, {}},
        {"lstAttachments", "Frame1", "", {120, 240, 4695, 840}, {}},
        {"Command1",
         "frmBrevant",
         "Послать серию",
         {4800, 1080, 1695, 375},
         "Отправка сообщений по списку в файле mail.txt каждые 3 секунды"},
        {"Frame2", "frmBrevant", "Отправлено:", {4320, 5520, 2055, 615}, {}},
        {"Label5", "Frame2", "0", {240, 240, 1575, 255}, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto *control = w.findChild<QWidget *>(QLatin1String(row.name));
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->parentWidget()->objectName(), QLatin1String(row.parent));
        EXPECT_EQ(control->geometry(), QRect(row.twips.x() / 15, row.twips.y() / 15,
                                             row.twips.width() / 15, row.twips.height() / 15));
        QString text = control->property("text").toString() + control->property("title").toString();
        if (auto *box = qobject_cast<QPlainTextEdit *>(control))
            text = box->toPlainText();
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(control->toolTip(), row.hint);
        EXPECT_TRUE(control->isEnabled());
    }
    const QList<QWidget *> all = w.findChildren<QWidget *>(QRegularExpression("^(?!qt_).+"));
    EXPECT_EQ(all.size(), 18) << "no control beyond the designed ones";
    EXPECT_EQ(w.Timer1->interval(), 3000);
    EXPECT_EQ(w.Timer1->timerType(), Qt::PreciseTimer);
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.txtMessage->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(w.txtMessage->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.lstAttachments->selectionMode(), QAbstractItemView::SingleSelection);
}

TEST(Window, FixedSizeTitleIconFontAndTabOrder)
{
    AppHarness h;
    frmBrevant &w = h.open();
    EXPECT_EQ(w.minimumSize(), QSize(442, 418));
    EXPECT_EQ(w.maximumSize(), QSize(442, 418));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Программа отправки почтовых сообщений"));
    const QImage icon = w.windowIcon().pixmap(32, 32).toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x)
            colours.insert(icon.pixel(x, y));
    EXPECT_TRUE(colours.size() > 2 && colours.size() <= 16);
    // Each caption fits its label in the default font, which has every letter of it.
    EXPECT_TRUE(QFontInfo(w.font()).family() == "Liberation Sans");
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
    struct Case
    {
        const char *name;
        QByteArray recipients, host, sender, subject, message;
        QStringList shown; // recipient, host, sender, subject, message
        bool notice;
    };
    const Case cases[] = {
        {"Windows",
         "a@x\r\nb@x",
         " host \r\nignored",
         " me@x ",
         "\xD2\xE5\xEC\xE0",
         "Hi\r\nthere",
         {"a@x", " host ", " me@x ", "Тема", "\nHi\nthere"},
         false},
        {"Linux: UTF-8 and LF",
         "a@x\nb@x\n",
         "host\n",
         "me@x\n",
         QStringLiteral("Привет\nне тема\n").toUtf8(),
         QStringLiteral("Строка\nещё\n").toUtf8(),
         {"a@x", "host", "me@x", "Привет", "\nСтрока\nещё"},
         false},
        {"empty files", "", "", "", "", "", {"", "", "", "", ""}, false},
        {"42 addresses: the notice is sent, not shown",
         TempJob::addresses(42),
         "h",
         "s",
         "t",
         "Hi",
         {"user0@example.test", "h", "s", "t", "\nHi"},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        h.dir.writeAll(c.recipients, c.host, c.sender, c.subject, c.message);
        frmBrevant &w = h.open();
        EXPECT_EQ(QStringList({w.txtRecipient->text(), w.txtHost->text(), w.txtSender->text(),
                               w.txtSubject->text(), w.txtMessage->toPlainText()}),
                  c.shown);
        EXPECT_EQ(w.job.MailBody.startsWith(MailingJob::noticeBlock()), c.notice);
        QTest::qWait(1);
        EXPECT_TRUE(h.boxes.isEmpty());
    }
}

TEST(Window, StartUpBoxNamesEveryProblemAndNothingHangs)
{
    struct Case
    {
        const char *name;
        std::function<void(const TempJob &)> breakJob;
        QStringList box; // parts of the one box
    };
    const Case cases[] = {
        {"every file missing",
         [](const TempJob &dir) {
             for (const char *f : {"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"})
                 QFile::remove(dir.filePath(QString::fromLatin1(f)));
         },
         {"mail.txt: файл не найден", "smtp.txt: файл не найден", "sender.txt: файл не найден",
          "tema.txt: файл не найден", "message.txt: файл не найден", "Папка задания: "}},
        {"a folder, a pipe and a device",
         [](const TempJob &dir) {
             replace(dir.filePath("tema.txt"), Kind::Folder);
             replace(dir.filePath("message.txt"), Kind::Pipe);
             replace(dir.filePath("mail.txt"), Kind::Device);
         },
         {"tema.txt: это папка, а не файл", "message.txt: " + kSpecial, "mail.txt: " + kSpecial}},
        {"10002 addresses",
         [](const TempJob &dir) { dir.write("mail.txt", TempJob::addresses(10002)); },
         {"В файле mail.txt больше 10001 строк: последние 1 не загружены."}},
        {"characters Windows-1251 lacks",
         [](const TempJob &dir) { dir.write("tema.txt", QStringLiteral("Привет 😀\n中").toUtf8()); },
         {"Этих символов нет в кодировке Windows-1251, они будут отправлены как «?»:",
          "tema.txt, строка 1: 😀"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        c.breakJob(h.dir);
        const Watchdog watchdog;
        frmBrevant &w = h.open();
        ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
        QTest::qWait(10);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].icon, QMessageBox::Warning);
        for (const QString &part : c.box)
            EXPECT_TRUE(h.boxes[0].text.contains(part)) << h.boxes[0].text.toStdString();
        EXPECT_EQ(h.boxes[0].text.contains("tema.txt, строка 2"), false);
        EXPECT_TRUE(w.isEnabled());
    }
    // The recipient box holds a job line whole, however long: it is read back when sent.
    AppHarness h;
    h.dir.write("mail.txt", QByteArray(10 << 20, 'x'));
    EXPECT_EQ(h.open().txtRecipient->text().size(), 10 << 20);
}

TEST(Window, NewMessageEmptiesThreeBoxesAndClosingIsNeverRefused)
{
    AppHarness h;
    frmBrevant &w = h.open();
    h.attach({"/tmp/file.bin"});
    w.Command1->click();
    for (int press = 0; press < 2; ++press) {
        w.cmdNew->click();
        EXPECT_EQ(
            QStringList({w.txtRecipient->text(), w.txtSubject->text(), w.txtMessage->toPlainText(),
                         w.txtHost->text(), w.txtSender->text()}),
            QStringList({"", "", "", "127.0.0.1", "me@example.test"}));
        EXPECT_EQ(w.lstAttachments->count(), 1);
        EXPECT_EQ(w.job.MessageText, QByteArray("\r\nLine one\r\nLine two"));
        EXPECT_TRUE(w.Timer1->isActive()) << "a running series goes on";
    }
    QCloseEvent event;
    QApplication::sendEvent(&w, &event);
    EXPECT_TRUE(event.isAccepted());
}

TEST(Attachments, AddCancelDuplicatesAndRemoveTheSelectedEntry)
{
    AppHarness h;
    frmBrevant &w = h.open();
    w.cmdRemove->click(); // empty list, nothing selected: nothing happens
    h.attach({"/data/a.bin", "", "/data/b b.bin", "/data/a.bin", ""});
    QStringList entries;
    for (int i = 0; i < w.lstAttachments->count(); ++i)
        entries << w.lstAttachments->item(i)->text();
    EXPECT_EQ(entries, QStringList({"/data/a.bin", "/data/b b.bin", "/data/a.bin"}));
    w.cmdRemove->click(); // nothing selected
    EXPECT_EQ(w.lstAttachments->count(), 3);
    w.lstAttachments->setCurrentRow(1);
    w.cmdRemove->click();
    ASSERT_EQ(w.lstAttachments->count(), 2);
    EXPECT_EQ(w.lstAttachments->item(1)->text(), "/data/a.bin");
    EXPECT_TRUE(h.boxes.isEmpty());
}

TEST(Attachments, UnreadableFileCancelsTheSendWithABox)
{
    const struct
    {
        Kind kind;
        QString reason;
    } cases[] = {{Kind::Missing, QStringLiteral("файл не найден")},
                 {Kind::Folder, QStringLiteral("это папка, а не файл")},
                 {Kind::Pipe, kSpecial},
                 {Kind::Device, kSpecial}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        AppHarness h;
        ScriptedServer server;
        frmBrevant &w = h.open(server.port());
        h.dir.write("ok.txt", "abc");
        replace(h.dir.filePath("bad.bin"), c.kind);
        h.attach({h.dir.filePath("ok.txt"), h.dir.filePath("bad.bin")});
        const Watchdog watchdog;
        w.Command1->click();
        ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 2; }));
        EXPECT_EQ(h.boxes[0].title, "Attach files");
        EXPECT_EQ(h.boxes[0].text, "Не удалось вложить файл «" + h.dir.filePath("bad.bin") +
                                       "»: " + c.reason + "\nПисьмо не отправлено.");
        EXPECT_EQ(w.Label5->text(), "0");
        EXPECT_TRUE(w.Timer1->isActive()) << "the series tries again at the next tick";
        EXPECT_TRUE(server.connections.isEmpty());
        EXPECT_EQ(w.lstAttachments->currentRow(), 1);
    }
}
