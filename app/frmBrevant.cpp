#include "frmBrevant.h"

#include "AttachmentBlock.h"
#include "Cp1251.h"
#include "WinsockErrors.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <type_traits>

namespace {

// The window was designed in twips; at 96 dots per inch a pixel is 15 of them.
constexpr int TwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
                 height / TwipsPerPixel);
}

// The message data goes to the socket in chunks as it drains, so that a large attachment is
// never held twice in memory.
constexpr qsizetype DataChunk = 256 * 1024;
constexpr qint64 DataHighWater = 1024 * 1024;

const QString WinsockErrorTitle = QStringLiteral("Winsock Error");

template <typename W>
W *make(QWidget *parent, const char *name, const QRect &rect, const QString &text = {})
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(rect);
    if constexpr (std::is_same_v<W, QGroupBox>)
        w->setTitle(text);
    else if constexpr (std::is_same_v<W, QPlainTextEdit>)
        w->setPlainText(text);
    else if constexpr (!std::is_same_v<W, QListWidget>)
        w->setText(text);
    return w;
}

} // namespace

frmBrevant::frmBrevant(Options options, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint), job(options.jobDirectory),
      m_options(std::move(options))
{
    setObjectName(QStringLiteral("frmBrevant"));
    setWindowTitle(QStringLiteral("Программа отправки почтовых сообщений"));
    setWindowIcon(QIcon(QStringLiteral(":/brevant.xpm")));
    setFixedSize(6630 / TwipsPerPixel, 6270 / TwipsPerPixel);
    createControls();
    wireEvents();
    Form_Load();
}

QFont frmBrevant::defaultFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans")});
    font.setPixelSize(10);
    return font;
}

frmBrevant::frmBrevant() : frmBrevant(Options{})
{
}

frmBrevant::~frmBrevant()
{
    // The socket goes down with the window's children, after this object has stopped being a
    // frmBrevant: it must not report its close to the window any more.
    Winsock1->disconnect(this);
    m_probe.release();
    Winsock1->abort();
}

void frmBrevant::createControls()
{
    Label1 = make<QLabel>(this, "Label1", twips(480, 120, 900, 195), QStringLiteral("Хост SMTP:"));
    Label2 = make<QLabel>(this, "Label2", twips(480, 480, 825, 195), QStringLiteral("Ваш E-mail:"));
    Label3 = make<QLabel>(this, "Label3", twips(120, 840, 1215, 195),
                          QStringLiteral("E-mail адресата:"));
    Label4 = make<QLabel>(this, "Label4", twips(840, 1200, 450, 195), QStringLiteral("Тема:"));
    // The text boxes' design-time texts; start-up empties every text box before it is shown.
    txtHost = make<QLineEdit>(this, "txtHost", twips(1440, 120, 3015, 285),
                              QStringLiteral("smtp.example.test"));
    txtHost->setToolTip(QStringLiteral("Адрес SMTP сервера (чаще всего адрес сервера Вашего "
                                       "Интернет-провайдера). Загружается из файла smtp.txt"));
    txtSender = make<QLineEdit>(this, "txtSender", twips(1440, 480, 3015, 285),
                                QStringLiteral("txtSender"));
    txtSender->setToolTip(QStringLiteral("Ваш e-mail. Загружается из файла sender.txt"));
    txtRecipient = make<QLineEdit>(this, "txtRecipient", twips(1440, 840, 3015, 285),
                                   QStringLiteral("txtRecipient"));
    // The recipient is read back from this box when it is sent: it must hold any job line whole.
    txtRecipient->setMaxLength(std::numeric_limits<int>::max());
    // Repainted after every message of a series: being opaque spares painting what lies under.
    txtRecipient->setAutoFillBackground(true);
    txtRecipient->setToolTip(QStringLiteral("Адреса загружаются из файла mail.txt"));
    txtSubject = make<QLineEdit>(this, "txtSubject", twips(1440, 1200, 3015, 285),
                                 QStringLiteral("txtSubject"));
    txtSubject->setToolTip(QStringLiteral("Тема. Заголовок письма. Загружается из файла tema.txt"));
    txtMessage = make<QPlainTextEdit>(this, "txtMessage", twips(120, 1560, 6375, 2415),
                                      QStringLiteral("txtMessage"));
    txtMessage->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtMessage->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtMessage->setTabChangesFocus(true);
    txtMessage->setToolTip(QStringLiteral(
        "Тело письма. Почтовое сообщение загружается из файла message.txt Обычный текст. HTML "
        "не поддерживается (используйте версию 2.0 для отправки писем в формате HTML)."));

    cmdNew = make<QPushButton>(this, "cmdNew", twips(4800, 120, 1695, 375),
                               QStringLiteral("Новое сообщение"));
    cmdSend = make<QPushButton>(this, "cmdSend", twips(4800, 600, 1695, 375),
                                QStringLiteral("Послать одно"));
    Frame1 = make<QGroupBox>(this, "Frame1", twips(120, 4080, 6375, 1215),
                             QStringLiteral("Attach files"));
    cmdAddFile = make<QPushButton>(Frame1, "cmdAddFile", twips(4920, 240, 1335, 375),
                                   QStringLiteral("Вложить..."));
    cmdRemove = make<QPushButton>(Frame1, "cmdRemove", twips(4920, 720, 1335, 375),
                                  QStringLiteral("Удалить"));
    lstAttachments = make<QListWidget>(Frame1, "lstAttachments", twips(120, 240, 4695, 840));
    lstAttachments->setSelectionMode(QAbstractItemView::SingleSelection);
    Command1 = make<QPushButton>(this, "Command1", twips(4800, 1080, 1695, 375),
                                 QStringLiteral("Послать серию"));
    Command1->setToolTip(
        QStringLiteral("Отправка сообщений по списку в файле mail.txt каждые 3 секунды"));
    Frame2 = make<QGroupBox>(this, "Frame2", twips(4320, 5520, 2055, 615),
                             QStringLiteral("Отправлено:"));
    Label5 = make<QLabel>(Frame2, "Label5", twips(240, 240, 1575, 255), QStringLiteral("0"));
    // The counter keeps its size whatever it shows and paints its own background, so a new
    // count repaints only itself, not the frame around it.
    Label5->setFixedSize(Label5->size());
    Label5->setAutoFillBackground(true);

    // The keyboard visits the controls in the order they were made: "Послать серию" comes last,
    // after the attachment controls, although it stands under the other two buttons.
    txtHost->setFocus();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(SeriesInterval);
    Timer1->setTimerType(Qt::PreciseTimer);

    Winsock1 = new QTcpSocket(this);
    Winsock1->setObjectName(QStringLiteral("Winsock1"));

    m_timeout = new QTimer(this);
    m_timeout->setSingleShot(true);
}

void frmBrevant::wireEvents()
{
    connect(cmdNew, &QPushButton::clicked, this, &frmBrevant::cmdNew_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmBrevant::cmdSend_Click);
    connect(Command1, &QPushButton::clicked, this, &frmBrevant::Command1_Click);
    connect(Timer1, &QTimer::timeout, this, &frmBrevant::Timer1_Timer);
    connect(cmdAddFile, &QPushButton::clicked, this, &frmBrevant::cmdAddFile_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmBrevant::cmdRemove_Click);
    connect(Winsock1, &QTcpSocket::readyRead, this, [this] {
        Winsock1_DataArrival(qint32(qMin<qint64>(Winsock1->bytesAvailable(), INT_MAX)));
    });
    connect(Winsock1, &QTcpSocket::errorOccurred, this, &frmBrevant::onSocketError);
    // An orderly close mid-dialogue arrives as an error first; this catches one without.
    connect(Winsock1, &QTcpSocket::disconnected, this, [this] {
        if (Winsock1->error() == QAbstractSocket::UnknownSocketError)
            onSocketError();
    });
    connect(Winsock1, &QTcpSocket::connected, this, [this] {
        // Commands are small and each waits for its reply: send them without delay.
        Winsock1->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_probe.attach(Winsock1->socketDescriptor());
        m_timeout->start(m_session.replyTimeout(m_options.timeouts)); // for the greeting
    });
    // Every write that goes out restarts the wait for the reply the dialogue now awaits.
    connect(Winsock1, &QTcpSocket::bytesWritten, this, [this] {
        if (!m_dialogueOpen)
            return;
        if (m_session.step() == 5)
            pumpData();
        m_timeout->start(m_session.replyTimeout(m_options.timeouts));
    });
    connect(m_timeout, &QTimer::timeout, this, [this] {
        if (m_dialogueOpen)
            breakDialogue(WinsockErrors::timedOut());
    });
}

// --- Start-up, reset and close ---------------------------------------------------------------

void frmBrevant::Form_Load()
{
    // Empty every text box, found by its kind.
    for (QLineEdit *box : findChildren<QLineEdit *>())
        box->clear();
    for (QPlainTextEdit *box : findChildren<QPlainTextEdit *>())
        box->clear();

    job.LoadAll();

    txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
    txtSender->setText(Cp1251::toUnicode(job.SenderAddress));
    txtSubject->setText(Cp1251::toUnicode(job.SubjectLine));
    txtMessage->setPlainText(Cp1251::toUnicode(job.MessageText));
    txtHost->setText(Cp1251::toUnicode(job.HostName));

    if (!job.problems().isEmpty() || !job.unmapped().isEmpty() || job.recipientsLeftOut() > 0)
        QTimer::singleShot(0, this, &frmBrevant::reportJobProblems);
}

void frmBrevant::reportJobProblems()
{
    QStringList lines;
    if (!job.problems().isEmpty()) {
        lines << QStringLiteral("Не удалось прочитать файлы задания:");
        for (const JobFileProblem &problem : job.problems())
            lines << QStringLiteral("%1: %2").arg(problem.fileName, problem.reason);
        lines << QStringLiteral("Папка задания: %1")
                     .arg(QDir::toNativeSeparators(QDir(m_options.jobDirectory).absolutePath()));
    }
    if (job.recipientsLeftOut() > 0) {
        lines << QStringLiteral("В файле %1 больше %2 строк: последние %3 не загружены.")
                     .arg(QLatin1String(MailingJob::RecipientsFile))
                     .arg(MailingJob::RecipientCapacity)
                     .arg(job.recipientsLeftOut());
    }
    if (!job.unmapped().isEmpty()) {
        // A whole file in another script would fill the screen: the first lines tell enough.
        constexpr qsizetype Shown = 10;
        const QList<UnmappedCharacters> &unmapped = job.unmapped();
        lines << QStringLiteral("Этих символов нет в кодировке Windows-1251, они будут "
                                "отправлены как «?»:");
        for (qsizetype i = 0; i < std::min(Shown, unmapped.size()); ++i) {
            lines << QStringLiteral("%1, строка %2: %3")
                         .arg(unmapped[i].fileName)
                         .arg(unmapped[i].line)
                         .arg(unmapped[i].characters.join(QLatin1Char(' ')));
        }
        if (unmapped.size() > Shown)
            lines << QStringLiteral("и ещё в %1 строках.").arg(unmapped.size() - Shown);
    }
    showBox(QMessageBox::Warning, windowTitle(), lines.join(QLatin1Char('\n')));
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

// --- Attachments -----------------------------------------------------------------------------

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

// --- Sending ---------------------------------------------------------------------------------

void frmBrevant::cmdSend_Click()
{
    // One dialogue at a time, and nothing new while a box waits for the user.
    if (m_dialogueOpen || m_boxOpen)
        return;

    AttachmentBlockResult built = BuildAttachmentBlock(lstAttachments->count(), [this](int index) {
        lstAttachments->setCurrentRow(index);
        return lstAttachments->currentItem()->text();
    });
    if (!built.ok()) {
        showBox(
            QMessageBox::Warning, QStringLiteral("Attach files"),
            QStringLiteral("Не удалось вложить файл %1\nПисьмо не отправлено.").arg(built.error));
        return;
    }
    AttachmentBlock = std::move(built.block);

    const QString notStarted = BeginSession();
    ++job.SentCount;
    Label5->setText(QString::number(job.SentCount));
    if (!notStarted.isNull())
        showSmtpError(notStarted);
}

QString frmBrevant::BeginSession()
{
    Winsock1->abort();
    m_replies.clear();
    m_session.reset();
    if (Smtp::hasLineBreakOrNul(job.HostName))
        return Smtp::invalidFieldMessage(Smtp::HostFieldName.toString());
    const QDateTime now = m_options.clock ? m_options.clock() : QDateTime::currentDateTime();
    const quint64 random =
        m_options.random ? m_options.random() : QRandomGenerator::system()->generate64();
    switch (m_session.begin({job.SenderAddress, job.SubjectLine, job.MailBody,
                             std::exchange(AttachmentBlock, {}), now, random})) {
    case Smtp::Outcome::Continue:
        break;
    case Smtp::Outcome::EmptySender:
        return Smtp::emptyFieldMessage(Smtp::SenderFieldName.toString());
    default:
        return Smtp::invalidFieldMessage(Smtp::SenderFieldName.toString());
    }
    m_dialogueOpen = true;
    Winsock1->connectToHost(Cp1251::toUnicode(Smtp::trimmed(job.HostName)), m_options.port);
    m_timeout->start(m_options.timeouts.connect);
    return QString();
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

void frmBrevant::Winsock1_DataArrival(qint32 /*bytesTotal*/)
{
    m_replies.feed(Winsock1->readAll());
    while (m_dialogueOpen && m_replies.hasReply())
        handleReply(m_replies.takeReply());
}

void frmBrevant::handleReply(const QByteArray &reply)
{
    const Smtp::Action action = m_session.onReply(
        reply, [this] { return Cp1251::fromUnicode(txtRecipient->text()); },
        Winsock1->bytesToWrite());
    switch (action.outcome) {
    case Smtp::Outcome::Continue:
    case Smtp::Outcome::Delivered:
        Winsock1->write(action.send);
        if (action.startData)
            pumpData();
        else
            // A command goes to the system now rather than at the next turn of the event
            // loop, which saves a wait for every command of every message. The data is fed
            // as the socket drains (see pumpData).
            Winsock1->flush();
        break;
    case Smtp::Outcome::Over:
        endDialogue();
        endMessage();
        break;
    case Smtp::Outcome::Refused:
        endDialogue();
        showSmtpError(Smtp::refusalMessage(action.reply));
        break;
    case Smtp::Outcome::InvalidRecipient:
        endDialogue();
        showSmtpError(Smtp::invalidFieldMessage(Smtp::RecipientFieldName.toString()));
        break;
    case Smtp::Outcome::InvalidSender:
    case Smtp::Outcome::EmptySender:
        break; // only begin() gives these
    }
}

void frmBrevant::pumpData()
{
    while (Winsock1->bytesToWrite() < DataHighWater && !m_session.dataFinished())
        Winsock1->write(m_session.nextDataChunk(DataChunk));
}

void frmBrevant::endDialogue()
{
    m_dialogueOpen = false;
    m_timeout->stop();
    m_replies.clear();
    m_probe.release();
    Winsock1->abort();
}

void frmBrevant::endMessage()
{
    if (job.CurrentIndex < job.LastIndex) {
        ++job.CurrentIndex;
        txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
    } else {
        Timer1->stop();
        Label5->setText(QStringLiteral("OK!"));
    }
}

// --- Socket errors and time-outs -------------------------------------------------------------

void frmBrevant::onSocketError()
{
    if (!m_dialogueOpen)
        return; // a close after the dialogue has ended is no error
    // Read before the socket is closed: the probe sees the connection only while it is open.
    breakDialogue(m_probe.wasReset()
                      ? WinsockErrors::connectionReset()
                      : WinsockErrors::fromSocketError(Winsock1->error(), Winsock1->errorString()));
}

void frmBrevant::breakDialogue(const WinsockErrors::Error &error)
{
    endDialogue();
    if (m_session.delivered()) {
        // The server has the message; however the line ends now, the message is done.
        endMessage();
        return;
    }
    QString description = error.description;
    bool cancelDisplay = false;
    Winsock1_Error(qint16(error.number), description, 0, QString(), QString(), 0, cancelDisplay);
}

void frmBrevant::Winsock1_Error(qint16 Number, QString &Description, qint32 /*Scode*/,
                                const QString & /*Source*/, const QString & /*HelpFile*/,
                                qint32 /*HelpContext*/, bool & /*CancelDisplay*/)
{
    showBox(QMessageBox::Warning, WinsockErrorTitle,
            QStringLiteral("Winsock Error number ") + QString::number(Number) +
                QStringLiteral("\r\n") + Description);
}

// --- Message boxes ---------------------------------------------------------------------------

void frmBrevant::showSmtpError(const QString &text)
{
    showBox(QMessageBox::Information, Smtp::ErrorTitle.toString(), text);
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
