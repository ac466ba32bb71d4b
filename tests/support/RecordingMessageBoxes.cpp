#include "tests/support/RecordingMessageBoxes.h"

#include <ostream>

namespace norvik::test {

bool operator==(const RecordedBox &a, const RecordedBox &b)
{
    return a.caption == b.caption && a.icon == b.icon && a.buttons == b.buttons && a.text == b.text;
}

void PrintTo(const RecordedBox &box, std::ostream *out)
{
    static const char *const icons[] = {"Information", "Error", "Question", "Warning"};
    *out << "{caption \"" << box.caption.toStdString() << "\", " << icons[static_cast<int>(box.icon)] << ", "
         << (box.buttons == BoxButtons::YesNo ? "Yes/No" : "OK") << ", text \"" << box.text.toStdString() << "\"}";
}

RecordedBox Box(const QString &caption, BoxIcon icon, const QString &text, BoxButtons buttons)
{
    return {caption, icon, buttons, text};
}

BoxAnswer RecordingMessageBoxes::Show(QWidget *, const QString &caption, BoxIcon icon, BoxButtons buttons,
                                      const QString &text)
{
    boxes.push_back({caption, icon, buttons, text});
    if (onShow)
        onShow(boxes.back());
    if (buttons != BoxButtons::YesNo)
        return BoxAnswer::Ok;
    bool yes = true;
    if (!yesNoAnswers.empty()) {
        yes = yesNoAnswers.front();
        yesNoAnswers.pop_front();
    }
    return yes ? BoxAnswer::Yes : BoxAnswer::No;
}

QString RecordingMessageBoxes::OpenFileName(QWidget *, const QString &caption, const QString &directory,
                                            const QString &filter)
{
    fileDialogs.push_back({caption, directory, filter});
    if (fileAnswers.empty())
        return QString();
    QString answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

void RecordingMessageBoxes::Clear()
{
    boxes.clear();
    fileDialogs.clear();
}

} // namespace norvik::test
