#include "BoxQueue.h"

#include <QPushButton>

namespace {

// Line ends as the box shows them: the texts of server replies end in CR LF.
QString shown(QString text)
{
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

} // namespace

BoxQueue::BoxQueue(QWidget *window) : QObject(window), m_window(window)
{
}

void BoxQueue::show(QMessageBox::Icon icon, const QString &title, const QString &text,
                    bool holdsSeries)
{
    m_waiting.push_back({icon, title, text, holdsSeries});
    m_holding += holdsSeries;
    if (!m_open) // else the box open now shows this one once it is closed
        showWaiting();
}

void BoxQueue::showWaiting()
{
    m_open = true;
    while (!m_waiting.empty()) {
        const Box box = m_waiting.front();
        QMessageBox dialog(box.icon, box.title, shown(box.text), QMessageBox::Ok, m_window);
        dialog.exec();
        m_waiting.pop_front();
        m_holding -= box.holds;
    }
    m_open = false;
}

int BoxQueue::ask(const QString &title, const QString &text, const QStringList &buttons)
{
    if (m_open)
        return -1;
    m_open = true;
    ++m_holding;
    QMessageBox dialog(QMessageBox::Question, title, shown(text), QMessageBox::NoButton, m_window);
    QList<QAbstractButton *> made;
    for (const QString &caption : buttons)
        made << dialog.addButton(caption, made.isEmpty() ? QMessageBox::AcceptRole
                                                         : QMessageBox::RejectRole);
    // Enter and Escape both take the default: a box closed in haste changes nothing.
    dialog.setDefaultButton(static_cast<QPushButton *>(made.value(0)));
    dialog.setEscapeButton(made.value(0));
    dialog.exec();
    --m_holding;
    const int pressed = int(made.indexOf(dialog.clickedButton()));
    showWaiting(); // the boxes asked for while the question was open
    return pressed;
}
