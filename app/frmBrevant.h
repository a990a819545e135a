// The program's one window: the job, the controls, and the handlers of their events.
#pragma once

#include "BoxQueue.h"
#include "JobSettings.h"
#include "MailboxLoop.h"
#include "MailingJob.h"
#include "MailingRun.h"
#include "Pacer.h"
#include "Server.h"
#include "SmtpConnection.h"

#include <QDateTime>
#include <QFont>
#include <QMessageBox>
#include <QWidget>

#include <functional>
#include <memory>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;

class frmBrevant : public QWidget
{
    Q_OBJECT

public:
    struct Options
    {
        QString jobDirectory; // where the job files are; empty: the current directory
        quint16 port = 0;     // 0: the port of smtp.txt; tests connect elsewhere
        // Asks for the password of `login` at `host`; null when cancelled. Empty: a dialog.
        std::function<QString(const QString &login, const QString &host)> askPassword;
        Smtp::Timeouts timeouts; // the program always uses the defaults
        // The file dialog (a full path, empty when cancelled); empty: a real QFileDialog.
        std::function<QString()> openFile;
        // A send's time (also of its log row) and its Message-ID's random number; empty: the
        // clock, the system's.
        std::function<QDateTime()> clock;
        std::function<quint64()> random;
    };

    static constexpr int SeriesInterval = 3000; // ms between two sends of a series

    // The program's default font: it shows Cyrillic, and the caption labels, sized for the
    // window's design, fit their texts in it. main() makes it the application's font.
    static QFont defaultFont();

    explicit frmBrevant(Options options, QWidget *parent = nullptr);

    // Event handlers.
    void Form_Load();
    void Form_Unload(qint16 &Cancel);
    void cmdNew_Click();
    void cmdSend_Click();
    void Command1_Click();
    void Timer1_Timer();
    void cmdAddFile_Click();
    void cmdRemove_Click();
    void Winsock1_Error(qint16 Number, QString &Description, qint32 Scode, const QString &Source,
                        const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay);

    // Starts one message to the job's host, its attachments taken from AttachmentBlock.
    void BeginSession();

    MailingJob job;             // the mailing state
    QByteArray AttachmentBlock; // the uuencoded files of the send being prepared

    // Controls, named as in the window's design.
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5;
    QLabel *lblStatus; // what a series is waiting for, when it waits
    QLineEdit *txtHost, *txtSender, *txtRecipient, *txtSubject;
    QPlainTextEdit *txtMessage;
    QPushButton *cmdNew, *cmdSend, *cmdAddFile, *cmdRemove, *Command1;
    QGroupBox *Frame1, *Frame2;
    QListWidget *lstAttachments;
    QTimer *Timer1;
    SmtpConnection *Winsock1;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void wireEvents();
    // What start-up has to tell: the job files, the folder's lock, the log, where the mailing
    // goes on, and the question whether a corrected letter goes on with an unfinished mailing.
    void tellStartUp();
    // Asks whether this letter goes on with the log's unfinished mailing; `before` is told first.
    void askWhichMailing(const QString &before);
    // Whether a message may go out now; if not, says why: in a series once (in a box that does
    // not hold it) and in the status line while it waits, for a press in a box each time.
    bool mayGo();
    // Why the job's host or sender cannot be sent (the "SMTP Error" text), or a null string.
    QString fieldFault() const;
    // The line of mail.txt that the recipient box shows, from 1; 0 for an address typed by hand.
    int boxLine() const;
    // Shows the next address that has not had this mailing; without one, stops the series
    // with "OK!" and returns false.
    bool moveOn();
    void onRefused(const QByteArray &reply, Smtp::Outcome how);
    void onBrokeOff(int number, QString description);
    // True while a series waits, after a refusal or an outage, or for the daily limit; the
    // status line says until when and why.
    bool pacedNow();
    // The series waits after `failure` (the server's reply or the socket error) of `kind`.
    void defer(Pace::WaitKind kind, const QString &failure);
    QDateTime now() const;
    // The index of the first address that has not had the mailing, or the last one.
    int firstPending() const;
    // The password for a provider or the sender's mailbox, asked the first time a send needs
    // it; false when cancelled.
    bool havePassword();
    // The login: the second line of smtp.txt, else the sender.
    QByteArray login() const;
    // True while a series waits for the read of the sender's mailbox before its first message;
    // starts the reads that are due.
    bool waitsForMailbox();
    // `failure` is why a row of the log could not be written (it waits), or null.
    void logged(const QString &failure);
    void setStatus(const QString &text);
    void showSmtpError(const QString &text);

    Options m_options;
    QString m_folder;                 // the job folder's absolute path, fixed at start-up
    Smtp::Server m_server;            // where the messages go, from smtp.txt
    JobSettings m_settings;           // brevant.ini
    MailboxLoop *m_mailbox = nullptr; // when brevant.ini names the sender's mailbox
    Pace::Pacer m_pacer;
    QString m_deferredBy;    // what the series waits after, as the status line says it
    bool m_tick = false;     // a tick of the series is sending, not a press
    bool m_tickSend = false; // the message on its way was sent by a tick
    std::unique_ptr<MailingRun> m_run;
    BoxQueue *m_boxes;
    MailingRun::Hold::Kind m_heldBy = MailingRun::Hold::None; // what sending waits for
    bool m_seriesTold = false; // the series was told what it waits for
    QString m_password;        // for this run only: never written anywhere
    bool m_askingPassword = false;
};
