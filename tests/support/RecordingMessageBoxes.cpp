#include "tests/support/RecordingMessageBoxes.h"

namespace norvik::test {

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

QStringList RecordingMessageBoxes::Texts() const
{
    QStringList texts;
    for (const RecordedBox &box : boxes)
        texts << box.text;
    return texts;
}

void RecordingMessageBoxes::Clear()
{
    boxes.clear();
    fileDialogs.clear();
}

} // namespace norvik::test
