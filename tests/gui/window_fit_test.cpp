// Both windows at the fonts Linux desktops commonly use: every text has the
// room it needs in the control that shows it. CTest runs this program a second
// time at 200 % scaling.
#include "app/burn.h"
#include "app/dialing.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// "name: 'text' needs WxH, has WxH" for every text that does not fit.
QStringList ClippedTexts(const QWidget *window)
{
    QStringList clipped;
    auto check = [&](const QWidget *w, const QString &text, QSize need, QSize have) {
        if (need.width() > have.width() || need.height() > have.height())
            clipped << QStringLiteral("%1 '%2' needs %3x%4, has %5x%6")
                           .arg(w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                                          : w->objectName(),
                                text)
                           .arg(need.width())
                           .arg(need.height())
                           .arg(have.width())
                           .arg(have.height());
    };
    for (const QLabel *label : window->findChildren<QLabel *>()) {
        if (!label->isVisible() || label->text().isEmpty())
            continue;
        const int indent = label->indent() >= 0 ? label->indent() : 0;
        const QRect room = label->contentsRect().adjusted(label->margin() + indent, label->margin(),
                                                          -label->margin(), -label->margin());
        check(label, label->text(), label->fontMetrics().size(Qt::TextShowMnemonic, label->text()), room.size());
    }
    // Buttons, radio buttons and the check box: what the style needs for text and icon.
    for (const QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
        if (button->isVisible())
            check(button, button->text(), button->sizeHint(), button->size());
    }
    // Edit fields, the pickers' inner fields included.
    for (const QLineEdit *edit : window->findChildren<QLineEdit *>()) {
        if (!edit->isVisible())
            continue;
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
        const QRect contents = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                                   .marginsRemoved(edit->textMargins());
        const QString text = edit->text().isEmpty() ? QStringLiteral("0") : edit->text();
        // The field keeps 2 pixels free at each side for the cursor.
        check(edit, text, edit->fontMetrics().size(0, text) + QSize(4, 0), contents.size());
    }
    // Drop-down lists: every item in the closed field.
    for (const QComboBox *combo : window->findChildren<QComboBox *>()) {
        if (!combo->isVisible())
            continue;
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = combo->isEditable();
        option.frame = combo->hasFrame();
        const QRect field =
            combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
        for (int i = 0; i < combo->count(); ++i)
            check(combo, combo->itemText(i), combo->fontMetrics().size(0, combo->itemText(i)), field.size());
    }
    return clipped;
}

} // namespace

TEST(WindowFit, EveryTextFitsAtTheDesktopFontsInUse)
{
    const QFont original = QApplication::font();
    for (const double points : {0.0, 11.0, 14.0}) { // 0: the platform's own font
        QFont font = original;
        if (points > 0)
            font.setPointSizeF(points);
        QApplication::setFont(font);
        SCOPED_TRACE(QStringLiteral("%1 pt, scale %2").arg(font.pointSizeF()).arg(qApp->devicePixelRatio()).toStdString());

        TfrmBurn burn(QStringList{QStringLiteral("norvik-burner")});
        burn.SystemSerialPorts = [] {
            return QList<norvik::SystemSerialPort>{{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("USB serial"), {}},
                                                   {QStringLiteral("/dev/ttyACM10"), {}, {}}};
        };
        burn.RefreshPortList();
        burn.show();
        TfrmDialing dialing(burn.C1, &burn);
        dialing.Timer1.stop();
        dialing.labPhoneNumber->setText(QStringLiteral("0123456789"));
        dialing.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialing));

        const QStringList clipped = ClippedTexts(&burn) + ClippedTexts(&dialing);
        EXPECT_TRUE(clipped.isEmpty()) << clipped.join(QLatin1Char('\n')).toStdString();
        // Screen readers and desktop test tools find every input by the text beside it.
        for (const QWidget *input : burn.findChildren<QWidget *>()) {
            const bool field = qobject_cast<const QLineEdit *>(input) || qobject_cast<const QComboBox *>(input) ||
                               qobject_cast<const QAbstractSpinBox *>(input);
            if (field && !qobject_cast<const QAbstractSpinBox *>(input->parentWidget()))
                EXPECT_FALSE(input->accessibleName().isEmpty()) << input->objectName().toStdString();
        }
    }
    QApplication::setFont(original);
}
