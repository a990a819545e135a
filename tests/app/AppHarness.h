// The real window on a temporary job, with the message boxes and the file dialog replaced by
// recorders, so that no test blocks on a modal dialog.
#pragma once

#include "frmBrevant.h"
#include "TempJob.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

struct Box
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
};

struct AppHarness
{
    TempJob dir;
    QList<Box> boxes;
    QStringList dialogAnswers;          // what the file dialog returns, one per call
    std::function<void()> whileBoxOpen; // runs inside the box, as its modal loop would
    std::unique_ptr<frmBrevant> window;

    AppHarness()
    {
        dir.writeAll("a@example.test\r\nb@example.test\r\nc@example.test\r\n", "127.0.0.1\r\n",
                     "me@example.test\r\n", "Subject\r\n", "Line one\r\nLine two\r\n");
    }

    // The window, sending to `port`, with a series timer of 40 ms unless `seriesMs` says 3000.
    frmBrevant &open(quint16 port = 25, frmBrevant::Options options = {}, int seriesMs = 40)
    {
        options.jobDirectory = dir.path();
        options.port = port;
        options.messageBox = [this](QMessageBox::Icon icon, QString title, QString text) {
            boxes.append({icon, title, text});
            if (whileBoxOpen)
                whileBoxOpen();
        };
        options.openFile = [this] {
            return dialogAnswers.isEmpty() ? "" : dialogAnswers.takeFirst();
        };
        window = std::make_unique<frmBrevant>(options);
        window->Timer1->setInterval(seriesMs);
        return *window;
    }

    // Adds the files through "Вложить...".
    void attach(const QStringList &paths)
    {
        dialogAnswers = paths;
        for (qsizetype i = 0; i < paths.size(); ++i)
            window->cmdAddFile->click();
    }

    // Presses "Послать одно" and waits until the dialogue has ended.
    void sendOne()
    {
        window->cmdSend->click();
        EXPECT_TRUE(waitFor([this] { return !window->dialogueOpen(); }));
    }

    // Processes events until `done` holds; false after `ms` milliseconds.
    static bool waitFor(const std::function<bool()> &done, int ms = 5000)
    {
        return QTest::qWaitFor(done, ms);
    }
};
