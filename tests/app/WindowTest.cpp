// The window: its controls, start-up, the reset, closing and the attachment list.
#include "AppHarness.h"
#include "MailingJob.h"

#include <QCloseEvent>
#include <QFontInfo>
#include <QGroupBox>
#include <QScrollBar>
#include <QTcpServer>

namespace {

QString plainText(QWidget *w)
{
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *b = qobject_cast<QPushButton *>(w))
        return b->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    return {};
}

} // namespace

TEST(Window, EveryControlWhereItWasDesigned)
{
    AppHarness h;
    frmBrevant &w = h.open();
    struct Row
    {
        const char *name;
        const char *parent;
        QString text;
        QRect twips; // left, top, width, height as designed
    };
    const Row rows[] = {
        {"Label1", "frmBrevant", "Хост SMTP:", {480, 120, 900, 195}},
        {"Label2", "frmBrevant", "Ваш E-mail:", {480, 480, 825, 195}},
        {"Label3", "frmBrevant", "E-mail адресата:", {120, 840, 1215, 195}},
        {"Label4", "frmBrevant", "Тема:", {840, 1200, 450, 195}},
        {"txtHost", "frmBrevant", "", {1440, 120, 3015, 285}},
        {"txtSender", "frmBrevant", "", {1440, 480, 3015, 285}},
        {"txtRecipient", "frmBrevant", "", {1440, 840, 3015, 285}},
        {"txtSubject", "frmBrevant", "", {1440, 1200, 3015, 285}},
        {"txtMessage", "frmBrevant", "", {120, 1560, 6375, 2415}},
        {"cmdNew", "frmBrevant", "Новое сообщение", {4800, 120, 1695, 375}},
        {"cmdSend", "frmBrevant", "Послать одно", {4800, 600, 1695, 375}},
        {"Frame1", "frmBrevant", "Attach files", {120, 4080, 6375, 1215}},
        {"cmdAddFile", "Frame1", "Вложить...", {4920, 240, 1335, 375}},
        {"cmdRemove", "Frame1", "Удалить", {4920, 720, 1335, 375}},
        {"lstAttachments", "Frame1", "", {120, 240, 4695, 840}},
        {"Command1", "frmBrevant", "Послать серию", {4800, 1080, 1695, 375}},
        {"Frame2", "frmBrevant", "Отправлено:", {4320, 5520, 2055, 615}},
        {"Label5", "Frame2", "0", {240, 240, 1575, 255}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto *control = w.findChild<QWidget *>(QLatin1String(row.name));
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->parentWidget()->objectName(), QLatin1String(row.parent));
        const QRect &t = row.twips;
        ASSERT_TRUE(t.x() % 15 == 0 && t.y() % 15 == 0 && t.width() % 15 == 0 &&
                    t.height() % 15 == 0);
        EXPECT_EQ(control->geometry(),
                  QRect(t.x() / 15, t.y() / 15, t.width() / 15, t.height() / 15));
        EXPECT_EQ(plainText(control), row.text);
        EXPECT_TRUE(control->isEnabled());
    }
}

TEST(Window, CaptionsFitTheirLabelsInTheDefaultFont)
{
    AppHarness h;
    frmBrevant &w = h.open();
    EXPECT_TRUE(QFontInfo(w.font()).family() == "Liberation Sans" ||
                QFontInfo(w.font()).family() == "Arial")
        << QFontInfo(w.font()).family().toStdString();
    for (QLabel *label : {w.Label1, w.Label2, w.Label3, w.Label4}) {
        SCOPED_TRACE(label->objectName().toStdString());
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        EXPECT_LE(label->fontMetrics().height(), label->height());
        // The font has every Cyrillic letter of the captions.
        for (QChar ch : label->text())
            EXPECT_TRUE(QFontMetrics(w.font()).inFontUcs4(ch.unicode()));
    }
}

TEST(Window, HintsOnlyOnTheSixControls)
{
    AppHarness h;
    frmBrevant &w = h.open();
    const QMap<QString, QString> hints = {
        {"txtHost", "Адрес SMTP сервера (чаще всего адрес сервера Вашего Интернет-провайдера). "
                    "Загружается из файла smtp.txt"},
        {"txtSender", "Ваш e-mail. Загружается из файла sender.txt"},
        {"txtRecipient", "Адреса загружаются из файла mail.txt"},
        {"txtSubject", "Тема. Заголовок письма. Загружается из файла tema.txt"},
        {"txtMessage", "Тело письма. Почтовое сообщение загружается из файла message.txt Обычный "
                       "текст. HTML не поддерживается (используйте версию 2.0 для отправки писем "
                       "в формате HTML)."},
        {"Command1", "Отправка сообщений по списку в файле mail.txt каждые 3 секунды"},
    };
    int named = 0;
    for (QWidget *control : w.findChildren<QWidget *>()) {
        const QString name = control->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
            continue; // Qt's own parts of a control, such as scroll bars
        ++named;
        SCOPED_TRACE(control->objectName().toStdString());
        EXPECT_EQ(control->toolTip(), hints.value(control->objectName()));
    }
    EXPECT_EQ(named, 18);
    EXPECT_TRUE(w.toolTip().isEmpty());
}

TEST(Window, TabKeyVisitsTheControlsInOrder)
{
    AppHarness h;
    frmBrevant &w = h.open();
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    ASSERT_EQ(QApplication::focusWidget(), w.txtHost);
    h.dir.path(); // keep the job folder alive for the window's lifetime
    const QStringList expected = {"txtSender",      "txtRecipient", "txtSubject", "txtMessage",
                                  "cmdNew",         "cmdSend",      "cmdAddFile", "cmdRemove",
                                  "lstAttachments", "Command1",     "txtHost"};
    QStringList visited;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(visited, expected);
}

TEST(Window, FixedSizeTitleAndIcon)
{
    AppHarness h;
    frmBrevant &w = h.open();
    EXPECT_EQ(w.size(), QSize(442, 418));
    EXPECT_EQ(w.minimumSize(), QSize(442, 418));
    EXPECT_EQ(w.maximumSize(), QSize(442, 418));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Программа отправки почтовых сообщений"));
    const QList<QSize> sizes = w.windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    const QImage icon = w.windowIcon().pixmap(32, 32).toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x)
            colours.insert(icon.pixel(x, y));
    EXPECT_LE(colours.size(), 16);
    EXPECT_GT(colours.size(), 2);
}

TEST(Window, ComponentsAtStart)
{
    AppHarness h;
    frmBrevant &w = h.open();
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.Timer1->interval(), 3000);
    EXPECT_EQ(w.Timer1->timerType(), Qt::PreciseTimer);
    EXPECT_EQ(w.Winsock1->state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(w.lstAttachments->count(), 0);
    EXPECT_EQ(w.Label5->text(), "0");
    EXPECT_EQ(w.txtMessage->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(w.txtMessage->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.txtMessage->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.lstAttachments->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(w.lstAttachments->isSortingEnabled());
}

TEST(Window, StartUpFillsTheBoxesFromTheJob)
{
    struct Case
    {
        const char *name;
        QByteArray recipients, host, sender, subject, message;
        QString shownRecipient, shownHost, shownSender, shownSubject, shownMessage;
        bool notice;
    };
    const Case cases[] = {
        {"Windows", "a@x\r\nb@x", " host \r\nignored", " me@x ", "\xD2\xE5\xEC\xE0", "Hi\r\nthere",
         "a@x", " host ", " me@x ", "Тема", "\nHi\nthere", false},
        {"Linux: UTF-8 and LF", "a@x\nb@x\n", "host\n", "me@x\n",
         QStringLiteral("Привет\nне тема\n").toUtf8(), QStringLiteral("Строка\nещё\n").toUtf8(),
         "a@x", "host", "me@x", "Привет", "\nСтрока\nещё", false},
        {"empty files", "", "", "", "", "", "", "", "", "", "", false},
        {"42 addresses: notice sent, not shown", TempJob::addresses(42), "h", "s", "t", "Hi",
         "user0@example.test", "h", "s", "t", "\nHi", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        h.dir.writeAll(c.recipients, c.host, c.sender, c.subject, c.message);
        frmBrevant &w = h.open();
        EXPECT_EQ(w.txtRecipient->text(), c.shownRecipient);
        EXPECT_EQ(w.txtHost->text(), c.shownHost);
        EXPECT_EQ(w.txtSender->text(), c.shownSender);
        EXPECT_EQ(w.txtSubject->text(), c.shownSubject);
        EXPECT_EQ(w.txtMessage->toPlainText(), c.shownMessage);
        EXPECT_EQ(w.job.CurrentIndex, 0);
        EXPECT_EQ(w.job.SentCount, 0);
        EXPECT_EQ(w.job.MailBody.startsWith(MailingJob::noticeBlock()), c.notice);
        QTest::qWait(1);
        EXPECT_TRUE(h.boxes.isEmpty());
    }
}

TEST(Window, MissingFilesGiveOneBoxNamingEach)
{
    AppHarness h;
    QFile::remove(h.dir.filePath("smtp.txt"));
    QFile::remove(h.dir.filePath("message.txt"));
    frmBrevant &w = h.open();
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    QTest::qWait(10);
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_EQ(h.boxes[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(h.boxes[0].text.contains("smtp.txt: файл не найден"));
    EXPECT_TRUE(h.boxes[0].text.contains("message.txt: файл не найден"));
    EXPECT_FALSE(h.boxes[0].text.contains("mail.txt"));
    EXPECT_TRUE(h.boxes[0].text.contains("Папка задания: " + QDir(h.dir.path()).absolutePath()));
    // Everything readable was loaded.
    EXPECT_EQ(w.txtRecipient->text(), "a@example.test");
    EXPECT_EQ(w.txtSender->text(), "me@example.test");
    EXPECT_TRUE(w.txtHost->text().isEmpty());
    EXPECT_TRUE(w.txtMessage->toPlainText().isEmpty());
}

TEST(Window, OverlongListIsCutWithABox)
{
    AppHarness h;
    h.dir.write("mail.txt", TempJob::addresses(10003));
    frmBrevant &w = h.open();
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_TRUE(h.boxes[0].text.contains("mail.txt")) << h.boxes[0].text.toStdString();
    EXPECT_TRUE(h.boxes[0].text.contains(" 2 ")) << h.boxes[0].text.toStdString();
    EXPECT_EQ(w.job.LastIndex, 10000);
}

TEST(Window, NewMessageEmptiesThreeBoxesOnly)
{
    AppHarness h;
    frmBrevant &w = h.open();
    h.dialogAnswers << "/tmp/file.bin";
    w.cmdAddFile->click();
    for (int press = 0; press < 2; ++press) {
        w.cmdNew->click();
        EXPECT_TRUE(w.txtRecipient->text().isEmpty());
        EXPECT_TRUE(w.txtSubject->text().isEmpty());
        EXPECT_TRUE(w.txtMessage->toPlainText().isEmpty());
        EXPECT_EQ(w.txtHost->text(), "127.0.0.1");
        EXPECT_EQ(w.txtSender->text(), "me@example.test");
        EXPECT_EQ(w.lstAttachments->count(), 1);
        EXPECT_EQ(w.job.MessageText, QByteArray("\r\nLine one\r\nLine two"));
        EXPECT_EQ(w.job.CurrentIndex, 0);
        EXPECT_EQ(w.Label5->text(), "0");
    }
}

TEST(Window, ClosingIsNeverRefused)
{
    AppHarness h;
    frmBrevant &w = h.open();
    w.Command1->click();
    QCloseEvent event;
    QApplication::sendEvent(&w, &event);
    EXPECT_TRUE(event.isAccepted());
    qint16 cancel = 5;
    w.Form_Unload(cancel);
    EXPECT_EQ(cancel, 0);
}

TEST(Attachments, AddCancelAndDuplicates)
{
    AppHarness h;
    frmBrevant &w = h.open();
    h.dialogAnswers << "/data/a.bin"
                    << ""
                    << "/data/b b.bin"
                    << "/data/a.bin";
    for (int i = 0; i < 4; ++i)
        w.cmdAddFile->click();
    QStringList entries;
    for (int i = 0; i < w.lstAttachments->count(); ++i)
        entries << w.lstAttachments->item(i)->text();
    EXPECT_EQ(entries, QStringList({"/data/a.bin", "/data/b b.bin", "/data/a.bin"}));
    w.cmdAddFile->click(); // cancelled again
    EXPECT_EQ(w.lstAttachments->count(), 3);
}

TEST(Attachments, RemoveTakesTheSelectedEntryOnly)
{
    AppHarness h;
    frmBrevant &w = h.open();
    w.cmdRemove->click(); // empty list, nothing selected: nothing happens
    h.dialogAnswers << "/a"
                    << "/b"
                    << "/c";
    for (int i = 0; i < 3; ++i)
        w.cmdAddFile->click();
    w.cmdRemove->click(); // nothing selected
    EXPECT_EQ(w.lstAttachments->count(), 3);
    w.lstAttachments->setCurrentRow(1);
    w.cmdRemove->click();
    ASSERT_EQ(w.lstAttachments->count(), 2);
    EXPECT_EQ(w.lstAttachments->item(0)->text(), "/a");
    EXPECT_EQ(w.lstAttachments->item(1)->text(), "/c");
    EXPECT_TRUE(h.boxes.isEmpty());
}

TEST(Attachments, UnreadableFileCancelsTheSendWithABox)
{
    AppHarness h;
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    frmBrevant &w = h.open(server.serverPort());
    h.dir.write("ok.txt", "abc");
    h.dialogAnswers << h.dir.filePath("ok.txt") << h.dir.filePath("gone.txt");
    w.cmdAddFile->click();
    w.cmdAddFile->click();
    w.Timer1->setInterval(20);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 2; }));
    EXPECT_TRUE(h.boxes[0].text.contains(h.dir.filePath("gone.txt")));
    EXPECT_TRUE(h.boxes[0].text.contains("файл не найден"));
    EXPECT_EQ(w.Label5->text(), "0");
    EXPECT_EQ(w.job.SentCount, 0);
    EXPECT_TRUE(w.Timer1->isActive()) << "the series tries again at the next tick";
    EXPECT_FALSE(server.hasPendingConnections());
    EXPECT_EQ(w.lstAttachments->currentRow(), 1);
    w.Timer1->stop();
}
