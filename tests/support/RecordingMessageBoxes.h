#pragma once
// Stands in for the burner's message boxes and file dialog: records every box
// (caption, icon, buttons, text) and answers as the test scripted.
#include "app/MessageBoxes.h"

#include <QString>

#include <deque>
#include <functional>
#include <iosfwd>
#include <vector>

namespace norvik::test {

struct RecordedBox {
    QString caption;
    BoxIcon icon;
    BoxButtons buttons;
    QString text;
};

bool operator==(const RecordedBox &a, const RecordedBox &b);
// How a box reads in a failed expectation.
void PrintTo(const RecordedBox &box, std::ostream *out);
// The box a test expects (an OK box unless told otherwise).
RecordedBox Box(const QString &caption, BoxIcon icon, const QString &text, BoxButtons buttons = BoxButtons::Ok);

class RecordingMessageBoxes : public MessageBoxes {
public:
    BoxAnswer Show(QWidget *parent, const QString &caption, BoxIcon icon, BoxButtons buttons,
                   const QString &text) override;
    QString OpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                         const QString &filter) override;

    // Answers for Yes/No boxes, used in order; Yes once they run out.
    std::deque<bool> yesNoAnswers;
    // Answers for file dialogs, used in order; empty (cancelled) once they run out.
    std::deque<QString> fileAnswers;
    // Runs inside each box, while it would be on screen.
    std::function<void(const RecordedBox &)> onShow;

    std::vector<RecordedBox> boxes;
    struct FileDialog {
        QString caption;
        QString directory;
        QString filter;
    };
    std::vector<FileDialog> fileDialogs;

    void Clear();
};

} // namespace norvik::test
