#include "frmBrevant.h"

#include "AttachmentBlock.h"
#include "BoxTexts.h"
#include "Cp1251.h"
#include "Fields.h"
#include "Headers.h"
#include "Server.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>

frmBrevant::frmBrevant(Options options, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint), job(options.jobDirectory),
      m_options(std::move(options))
{
    createControls();
    wireEvents();
    Form_Load();
}

void frmBrevant::wireEvents()
{
    connect(cmdNew, &QPushButton::clicked, this, &frmBrevant::cmdNew_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmBrevant::cmdSend_Click);
    connect(Command1, &QPushButton::clicked, this, &frmBrevant::Command1_Click);
    connect(Timer1, &QTimer::timeout, this, &frmBrevant::Timer1_Timer);
    connect(cmdAddFile, &QPushButton::clicked, this, &frmBrevant::cmdAddFile_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmBrevant::cmdRemove_Click);
    // The recipient is whatever the box holds when the dialogue reaches it.
    connect(Winsock1, &SmtpConnection::recipientWanted, this, [this] {
        const QByteArray recipient = Cp1251::fromUnicode(txtRecipient->text());
        m_run->setRecipient(recipient, boxLine());
        Winsock1->sendRecipient(recipient);
    });
    // On disk before QUIT goes out: a restart never sends this message again.
    connect(Winsock1, &SmtpConnection::delivered, this, [this](const QByteArray &reply) {
        logged(m_run->record(DeliveryLog::Result::Delivered, Cp1251::toUnicode(reply)));
    });
    connect(Winsock1, &SmtpConnection::over, this, [this] { moveOn(); });
    connect(Winsock1, &SmtpConnection::refused, this, &frmBrevant::onRefused);
    connect(Winsock1, &SmtpConnection::unsafe, this,
            [this](SmtpConnection::Problem problem, const QString &detail) {
                const QString text = BoxTexts::unsafe(problem, Smtp::server(job.HostName), detail);
                logged(m_run->record(DeliveryLog::Result::Failed, text));
                showSmtpError(text);
            });
    connect(Winsock1, &SmtpConnection::invalidRecipient, this,
            [this] { showSmtpError(BoxTexts::lineBreakIn(BoxTexts::Field::Recipient)); });
    connect(Winsock1, &SmtpConnection::brokeOff, this, [this](int number, QString description) {
        logged(m_run->record(DeliveryLog::Result::Failed,
                             QString::number(number) + u' ' + description));
        bool cancelDisplay = false;
        Winsock1_Error(qint16(number), description, 0, QString(), QString(), 0, cancelDisplay);
    });
}

void frmBrevant::Form_Load()
{
    // Empty every text box, found by its kind.
    for (QLineEdit *box : findChildren<QLineEdit *>())
        box->clear();
    for (QPlainTextEdit *box : findChildren<QPlainTextEdit *>())
        box->clear();

    job.LoadAll();
    // The addresses that had this mailing in an earlier run are passed over.
    m_run = std::make_unique<MailingRun>(job, m_options.jobDirectory);
    const int next = m_run->nextPending(0);
    if (m_run->hadBefore > 0)
        job.CurrentIndex = next >= 0 ? next : std::max(job.LastIndex, 0);

    txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
    txtSender->setText(Cp1251::toUnicode(job.SenderAddress));
    txtSubject->setText(Cp1251::toUnicode(job.SubjectLine));
    txtMessage->setPlainText(Cp1251::toUnicode(job.MessageText));
    txtHost->setText(Cp1251::toUnicode(job.HostName));

    // Told once the window shows, so that the box stands in front of it.
    QStringList parts = {BoxTexts::jobReport(job, m_options.jobDirectory)};
    if (m_run->hadBefore > 0)
        parts << BoxTexts::resumed(*m_run, job, next);
    parts.removeAll(QString());
    const QString report = parts.join(QStringLiteral("\n\n"));
    if (!report.isEmpty()) {
        QTimer::singleShot(
            0, this, [this, report] { showBox(QMessageBox::Warning, windowTitle(), report); });
    }
}

void frmBrevant::Form_Unload(qint16 &Cancel)
{
    // Closing is never refused, and nothing is saved.
    Cancel = 0;
}

void frmBrevant::closeEvent(QCloseEvent *event)
{
    qint16 cancel = 0;
    Form_Unload(cancel);
    event->setAccepted(cancel == 0);
}

void frmBrevant::cmdNew_Click()
{
    txtRecipient->clear();
    txtSubject->clear();
    txtMessage->clear();
}

void frmBrevant::cmdAddFile_Click()
{
    const QString path =
        m_options.openFile ? m_options.openFile() : QFileDialog::getOpenFileName(this);
    if (!path.isEmpty())
        lstAttachments->addItem(path);
}

void frmBrevant::cmdRemove_Click()
{
    const QList<QListWidgetItem *> selected = lstAttachments->selectedItems();
    if (selected.isEmpty())
        return;
    delete lstAttachments->takeItem(lstAttachments->row(selected.first()));
}

void frmBrevant::cmdSend_Click()
{
    // One dialogue at a time, and nothing new while a box waits for the user.
    if (Winsock1->isOpen() || m_boxOpen)
        return;
    // A listed address that had this mailing already is passed over, in a series too.
    if (boxLine() > 0 && m_run->hasHad(job.recipientAt(job.CurrentIndex)) && !moveOn())
        return;

    // The host and the sender are checked before any attachment is read: a send that cannot
    // start reads nothing. It counts all the same; a send without its attachments does not.
    const QString fault = fieldFault();
    if (fault.isNull() && !havePassword()) {
        Timer1->stop(); // cancelled: nothing starts, nothing counts, and a series waits
        return;
    }
    if (fault.isNull()) {
        AttachmentBlockResult built =
            BuildAttachmentBlock(lstAttachments->count(), [this](int index) {
                lstAttachments->setCurrentRow(index);
                return lstAttachments->currentItem()->text();
            });
        if (!built.ok()) {
            showBox(QMessageBox::Warning, BoxTexts::AttachTitle,
                    BoxTexts::attachmentFailed(built.error));
            return;
        }
        AttachmentBlock = std::move(built.block);
        BeginSession();
    }
    ++job.SentCount;
    Label5->setText(QString::number(job.SentCount));
    if (!fault.isNull())
        showSmtpError(fault);
}

QString frmBrevant::fieldFault() const
{
    const QByteArray sender = Smtp::address(job.SenderAddress);
    if (Smtp::hasLineBreakOrNul(job.HostName))
        return BoxTexts::lineBreakIn(BoxTexts::Field::Host);
    if (!Smtp::server(job.HostName).valid)
        return BoxTexts::badPort(job.HostName);
    if (Smtp::hasLineBreakOrNul(sender))
        return BoxTexts::lineBreakIn(BoxTexts::Field::Sender);
    // MAIL FROM:<> would send a message nobody can answer.
    return sender.isEmpty() ? BoxTexts::emptyField(BoxTexts::Field::Sender) : QString();
}

void frmBrevant::BeginSession()
{
    const QDateTime now = m_options.clock ? m_options.clock() : QDateTime::currentDateTime();
    const quint64 random =
        m_options.random ? m_options.random() : QRandomGenerator::system()->generate64();
    logged(m_run->begin(Cp1251::fromUnicode(txtRecipient->text()), boxLine(),
                        Smtp::messageId(now, random, Smtp::address(job.SenderAddress))));
    const Smtp::Server server = Smtp::server(job.HostName);
    Winsock1->start(Cp1251::toUnicode(server.host), m_options.port ? m_options.port : server.port,
                    {job.SenderAddress, job.SubjectLine, job.MailBody,
                     std::exchange(AttachmentBlock, {}), now, random, server.security,
                     Cp1251::toUnicode(login()).toUtf8(), m_password.toUtf8()});
}

void frmBrevant::Command1_Click()
{
    if (!Timer1->isActive())
        Timer1->start();
}

void frmBrevant::Timer1_Timer()
{
    cmdSend_Click();
}

int frmBrevant::boxLine() const
{
    const bool listed =
        job.CurrentIndex <= job.LastIndex &&
        Cp1251::fromUnicode(txtRecipient->text()) == job.recipientAt(job.CurrentIndex);
    return listed ? job.CurrentIndex + 1 : 0;
}

bool frmBrevant::moveOn()
{
    const int next = m_run->nextPending(job.CurrentIndex + 1);
    if (next >= 0) {
        job.CurrentIndex = next;
        txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
        return true;
    }
    const bool series = Timer1->isActive();
    Timer1->stop();
    Label5->setText(QStringLiteral("OK!"));
    if (series && m_run->refusedNow > 0)
        showBox(QMessageBox::Information, windowTitle(), BoxTexts::seriesOver(*m_run));
    return false;
}

void frmBrevant::onRefused(const QByteArray &reply, Smtp::Outcome how)
{
    if (how == Smtp::Outcome::LoginRefused) // a wrong password is asked for again
        m_password = QString();
    if (how != Smtp::Outcome::DeadAddress) { // the server or the message: the same address again
        logged(m_run->record(DeliveryLog::Result::Refused, Cp1251::toUnicode(reply)));
        return showSmtpError(BoxTexts::refusal(reply));
    }
    // An address that takes no mail is passed over, in a series without a box; but a server
    // that refuses everyone must not burn through the list: the third in a row stops a series.
    logged(m_run->passOver(Cp1251::toUnicode(reply)));
    if (Timer1->isActive() && m_run->deadInRow >= DeadInRowLimit) {
        Timer1->stop();
        return showSmtpError(BoxTexts::refusal(reply));
    }
    if (!Timer1->isActive())
        showSmtpError(BoxTexts::refusal(reply));
    moveOn();
}

QByteArray frmBrevant::login() const
{
    const QByteArray line = Smtp::trimmed(job.Login);
    return line.isEmpty() ? Smtp::address(job.SenderAddress) : line;
}

bool frmBrevant::havePassword()
{
    const Smtp::Server server = Smtp::server(job.HostName);
    if (server.security == Smtp::Security::None || !m_password.isNull())
        return true;
    const QString user = Cp1251::toUnicode(login());
    const QString host = Cp1251::toUnicode(server.host);
    m_boxOpen = true; // the series waits for the answer
    m_password = m_options.askPassword ? m_options.askPassword(user, host)
                                       : QInputDialog::getText(this, BoxTexts::PasswordTitle,
                                                               BoxTexts::passwordPrompt(user, host),
                                                               QLineEdit::Password);
    m_boxOpen = false;
    return !m_password.isNull();
}

void frmBrevant::logged(const QString &failure)
{
    if (!failure.isNull()) // told once, after what is under way now
        QTimer::singleShot(0, this, [this, failure] {
            showBox(QMessageBox::Warning, windowTitle(), BoxTexts::logFailed(*m_run, failure));
        });
}

void frmBrevant::Winsock1_Error(qint16 Number, QString &Description, qint32 /*Scode*/,
                                const QString & /*Source*/, const QString & /*HelpFile*/,
                                qint32 /*HelpContext*/, bool & /*CancelDisplay*/)
{
    showBox(QMessageBox::Warning, BoxTexts::WinsockErrorTitle,
            BoxTexts::winsockError(Number, Description));
}

void frmBrevant::showSmtpError(const QString &text)
{
    showBox(QMessageBox::Information, BoxTexts::SmtpErrorTitle, text);
}

void frmBrevant::showBox(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    if (m_boxOpen)
        return; // boxes never nest
    m_boxOpen = true;
    if (m_options.messageBox) {
        m_options.messageBox(icon, title, text);
    } else {
        QString shown = text;
        shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        QMessageBox box(icon, title, shown, QMessageBox::Ok, this);
        box.exec();
    }
    m_boxOpen = false;
}
