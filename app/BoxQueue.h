// The window's message boxes, one at a time. A box asked for while another is open waits until
// that one is closed, in the order asked, instead of opening inside the first one's event loop or
// being dropped: no box is ever lost, and no pile of boxes grows over a series.
//
// A box may hold the series: while such a box is open or waits, a series sends nothing, so that a
// person sees a refusal before the next message goes out. A box that only tells (the log cannot
// be written, and the series goes on by itself once it can) does not.
#pragma once

#include <QMessageBox>
#include <QObject>

#include <deque>

class BoxQueue : public QObject
{
    Q_OBJECT

public:
    explicit BoxQueue(QWidget *window);

    // Shows a modal box now, returning when it and those asked for meanwhile are closed; while
    // a box is open it joins the queue and this returns at once.
    void show(QMessageBox::Icon icon, const QString &title, const QString &text,
              bool holdsSeries = true);
    // A question with `buttons`, the first the default (Enter, Escape); returns the index of the
    // one pressed. Only while no box is open (see isOpen()); -1 otherwise.
    int ask(const QString &title, const QString &text, const QStringList &buttons);

    bool isOpen() const { return m_open; }
    bool holdsSeries() const { return m_holding > 0; }

private:
    struct Box
    {
        QMessageBox::Icon icon;
        QString title, text;
        bool holds;
    };

    void showWaiting();

    QWidget *m_window;
    std::deque<Box> m_waiting;
    bool m_open = false;
    int m_holding = 0; // boxes open or waiting that hold the series
};
