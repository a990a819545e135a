// The program's one window: the job, the controls, and the handlers of their events.
#pragma once

#include "ConnectionProbe.h"
#include "MailingJob.h"
#include "Session.h"
#include "WinsockErrors.h"

#include <QByteArray>
#include <QDateTime>
#include <QFont>
#include <QMessageBox>
#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTcpSocket;
class QTimer;

class frmBrevant : public QWidget
{
    Q_OBJECT

public:
    // Shows a modal message box; tests replace it so that nothing blocks.
    using MessageBoxFn =
        std::function<void(QMessageBox::Icon icon, const QString &title, const QString &text)>;
    // Asks for one existing file; returns its full path, or an empty string when cancelled.
    using OpenFileFn = std::function<QString()>;

    struct Options
    {
        QString jobDirectory;    // where the job files are; empty: the current directory
        quint16 port = 25;       // the program always uses 25; tests point it elsewhere
        MessageBoxFn messageBox; // empty: a real QMessageBox
        OpenFileFn openFile;     // empty: a real QFileDialog
        Smtp::Timeouts timeouts; // the program always uses the defaults
        // A send's time and its Message-ID's random number; empty: the clock, the system's.
        std::function<QDateTime()> clock;
        std::function<quint64()> random;
    };

    static constexpr int SeriesInterval = 3000; // ms between two sends of a series

    // The program's default font: it shows Cyrillic, and the caption labels, sized for the
    // window's design, fit their texts in it. main() makes it the application's font.
    static QFont defaultFont();

    frmBrevant();
    explicit frmBrevant(Options options, QWidget *parent = nullptr);
    ~frmBrevant() override;

    // Event handlers.
    void Form_Load();
    void Form_Unload(qint16 &Cancel);
    void cmdNew_Click();
    void cmdSend_Click();
    void Command1_Click();
    void Timer1_Timer();
    void cmdAddFile_Click();
    void cmdRemove_Click();
    void Winsock1_DataArrival(qint32 bytesTotal);
    void Winsock1_Error(qint16 Number, QString &Description, qint32 Scode, const QString &Source,
                        const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay);

    // Starts one message: connects to the job's host. Returns why nothing was started (the
    // text of the "SMTP Error" box), or a null string.
    QString BeginSession();

    // The mailing state.
    MailingJob job;
    // The uuencoded attachments of the send being prepared.
    QByteArray AttachmentBlock;
    // The step of the open dialogue, 0 to 6.
    int SessionStep() const { return m_session.step(); }
    // True from a connect until the dialogue is over (or failed).
    bool dialogueOpen() const { return m_dialogueOpen; }

    // Controls, named as in the window's design.
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5;
    QLineEdit *txtHost, *txtSender, *txtRecipient, *txtSubject;
    QPlainTextEdit *txtMessage;
    QPushButton *cmdNew, *cmdSend, *cmdAddFile, *cmdRemove, *Command1;
    QGroupBox *Frame1, *Frame2;
    QListWidget *lstAttachments;
    QTimer *Timer1;
    QTcpSocket *Winsock1;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void wireEvents();
    void reportJobProblems();
    void showBox(QMessageBox::Icon icon, const QString &title, const QString &text);
    void showSmtpError(const QString &text);
    void handleReply(const QByteArray &reply);
    void pumpData();
    // Closes the connection and forgets the dialogue; nothing is pending once it is over.
    void endDialogue();
    void endMessage();
    void onSocketError();
    // Ends a dialogue that broke off: the message counts if the server had already accepted
    // it, otherwise the "Winsock Error" box reports `error`.
    void breakDialogue(const WinsockErrors::Error &error);

    Options m_options;
    Smtp::Session m_session;
    Smtp::ReplyAssembler m_replies;
    ConnectionProbe m_probe;
    QTimer *m_timeout = nullptr;
    bool m_dialogueOpen = false;
    bool m_boxOpen = false;
};
