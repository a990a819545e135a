// The attachment block of one message: every listed file's uuencoded text, in list order.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

struct AttachmentBlockResult
{
    QByteArray block;     // on success: every file's text + "\r\n", in order
    int failedIndex = -1; // the entry that could not be encoded, or -1
    QString error;        // null on success; "«path»: reason" for the entry that failed
    bool ok() const { return error.isNull(); }
};

// Selects the entries 0 .. count-1 in turn and encodes each file. `selectEntry(i)` selects
// entry i in the list box and returns its text, the path; after a full build the last entry
// therefore stays selected. A count of 0 (or less) gives an empty block without calling
// `selectEntry`. The build stops at the first file that cannot be encoded: the block is then
// empty, `failedIndex` names that entry and no later entry is selected or read. Never throws.
AttachmentBlockResult BuildAttachmentBlock(int count,
                                           const std::function<QString(int)> &selectEntry);
