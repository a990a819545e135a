// The folder the program starts on: the command line's FOLDER, the current directory, or the
// one picked in the folder dialog.
#include "JobFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(JobFolder, ChoosesFromArgumentCurrentDirectoryOrDialog)
{
    QTemporaryDir root;
    const QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath("job") && dir.mkpath("empty") && dir.mkpath("picked"));
    QFile mail(dir.filePath("job/mail.txt"));
    ASSERT_TRUE(mail.open(QIODevice::WriteOnly));
    mail.close();
    const QString job = dir.filePath("job"), empty = dir.filePath("empty");

    struct Case
    {
        const char *what;
        QString argument, currentDir, answer; // answer: what the dialog returns
        bool asked;
        QString folder;
        bool error;
    };
    const Case cases[] = {
        {"job files here", "", job, "", false, job, false},
        {"empty folder asks", "", empty, dir.filePath("picked"), true, dir.filePath("picked"),
         false},
        {"dialog cancelled", "", empty, "", true, empty, false},
        {"folder argument", job, empty, "", false, job, false},
        {"relative folder argument", "../job", empty, "", false, job, false},
        {"file argument", dir.filePath("job/mail.txt"), empty, "", false, job, false},
        {"missing path", dir.filePath("nowhere"), job, "", false, job, true},
        {"missing file in a folder", dir.filePath("job/tema.txt"), empty, "", false, empty, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bool asked = false;
        const JobFolder::Choice choice = JobFolder::choose(c.argument, c.currentDir, [&] {
            asked = true;
            return c.answer;
        });
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(choice.folder, c.folder);
        EXPECT_EQ(choice.error.isEmpty(), !c.error);
        if (c.error) {
            EXPECT_TRUE(choice.error.contains(c.argument)) << choice.error.toStdString();
        }
    }
}
