// Where the program reads its job: the folder named on the command line, the current
// directory, or one the user picks when started elsewhere (the desktop menu starts it in the
// home folder).
#pragma once

#include <QString>

#include <functional>

namespace JobFolder {

// Asks the user for a folder; returns its path, or an empty string when cancelled.
using AskFn = std::function<QString()>;

struct Choice
{
    QString folder; // absolute path of the folder to make the working directory
    QString error;  // Russian, ready for a message box; empty when the argument was usable
};

// `argument` is the command line's FOLDER (a folder, or a file inside one), empty when none
// was given; a relative one is taken from `currentDir`. With no argument, `currentDir` is
// used when it holds a job file, otherwise `ask` is asked and a cancel keeps `currentDir`.
// An argument that is not a readable folder or a file in one keeps `currentDir` and sets
// `error`, naming the path.
Choice choose(const QString &argument, const QString &currentDir, const AskFn &ask);

} // namespace JobFolder
