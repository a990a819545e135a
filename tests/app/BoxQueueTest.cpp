// Catches: a box lost or opened inside another, boxes out of order, a question answered by a box
// closed in haste, a series held by a box that only tells, or not held by one that must be seen.
#include "BoxQueue.h"
#include "AppHarness.h"

TEST(BoxQueue, BoxesAskedForWhileOneIsOpenFollowItInOrder)
{
    BoxCloser closer;
    QWidget window;
    BoxQueue queue(&window);
    QStringList seen; // each box's text, how many boxes were visible, whether the series waits
    closer.whileOpen = [&] {
        if (closer.boxes.size() == 1) {
            queue.show(QMessageBox::Information, "t", "second");
            queue.show(QMessageBox::Warning, "t", "third", false);
            EXPECT_EQ(queue.ask("t", "question", {"yes", "no"}), -1) << "not inside a box";
        }
        int visible = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            visible += qobject_cast<QMessageBox *>(top) && top->isVisible();
        seen << closer.boxes.last().text + ' ' + QString::number(visible) +
                    (queue.holdsSeries() ? " held" : " free");
    };
    queue.show(QMessageBox::Warning, "t", "first", false);
    EXPECT_EQ(seen.join(", "), "first 1 held, second 1 held, third 1 free");
    EXPECT_FALSE(queue.isOpen() || queue.holdsSeries());

    // A question's default is the first button, for Enter as for Escape; a box asked for
    // meanwhile comes after it.
    bool asked = false;
    closer.whileOpen = [&] {
        if (!std::exchange(asked, true))
            queue.show(QMessageBox::Information, "t", "after");
    };
    closer.answers = {"", "", "Escape", "Начать новую"}; // the second for the box that came after
    EXPECT_EQ(queue.ask("t", "go on?", {"Продолжить", "Начать новую"}), 0);
    EXPECT_EQ(closer.boxes.last().text, "after");
    EXPECT_EQ(queue.ask("t", "go on?", {"Продолжить", "Начать новую"}), 0);
    EXPECT_EQ(queue.ask("t", "go on?", {"Продолжить", "Начать новую"}), 1);
    EXPECT_EQ(closer.boxes.size(), 7);
    EXPECT_FALSE(queue.isOpen() || queue.holdsSeries());
}
