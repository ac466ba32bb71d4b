#include "app/MessageBoxes.h"

#include <QFileDialog>
#include <QMessageBox>

namespace norvik {

BoxAnswer QtMessageBoxes::Show(QWidget *parent, const QString &caption, BoxIcon icon, BoxButtons buttons,
                               const QString &text)
{
    QMessageBox::Icon qtIcon = QMessageBox::Information;
    switch (icon) {
    case BoxIcon::Information:
        qtIcon = QMessageBox::Information;
        break;
    case BoxIcon::Error:
        qtIcon = QMessageBox::Critical;
        break;
    case BoxIcon::Question:
        qtIcon = QMessageBox::Question;
        break;
    case BoxIcon::Warning:
        qtIcon = QMessageBox::Warning;
        break;
    }
    const QMessageBox::StandardButtons qtButtons =
        buttons == BoxButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::StandardButtons(QMessageBox::Ok);
    QMessageBox box(qtIcon, caption, text, qtButtons, parent);
    box.setTextFormat(Qt::PlainText);
    if (buttons == BoxButtons::YesNo) {
        // The questions ask before something that cannot be undone (erasing
        // a controller's firmware): a stray Enter or Escape must answer No.
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
    }
    const int pressed = box.exec();
    if (buttons == BoxButtons::YesNo)
        return pressed == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
    return BoxAnswer::Ok;
}

QString QtMessageBoxes::OpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                                     const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

MessageBoxes *DefaultMessageBoxes()
{
    static QtMessageBoxes boxes;
    return &boxes;
}

} // namespace norvik
