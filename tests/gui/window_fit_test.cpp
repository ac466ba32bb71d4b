// Both windows at the fonts Linux desktops commonly use: every text has the
// room it needs in the control that shows it. CTest runs this program a second
// time at 200 % scaling.
#include "app/burn.h"
#include "app/dialing.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// "name 'text' needs WxH, has WxH" for every text without the room it needs.
QStringList ClippedTexts(const QWidget *window)
{
    QStringList clipped;
    auto check = [&](const QWidget *w, const QString &text, QSize need, QSize have) {
        if (w->isVisible() && (need.width() > have.width() || need.height() > have.height()))
            clipped << QStringLiteral("%1 '%2' needs %3x%4, has %5x%6")
                           .arg(w->objectName(), text)
                           .arg(need.width())
                           .arg(need.height())
                           .arg(have.width())
                           .arg(have.height());
    };
    for (const QLabel *l : window->findChildren<QLabel *>()) {
        const int m = l->margin();
        check(l, l->text(), l->fontMetrics().size(Qt::TextShowMnemonic, l->text()),
              l->contentsRect().adjusted(m + std::max(l->indent(), 0), m, -m, -m).size());
    }
    for (const QAbstractButton *b : window->findChildren<QAbstractButton *>()) // text and icon, as the style needs
        check(b, b->text(), b->sizeHint(), b->size());
    for (const QLineEdit *e : window->findChildren<QLineEdit *>()) { // the pickers' inner fields too
        QStyleOptionFrame option;
        option.initFrom(e);
        option.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, e) : 0;
        const QString text = e->text().isEmpty() ? QStringLiteral("0") : e->text();
        // 2 pixels stay free at each side for the cursor.
        check(e, text, e->fontMetrics().size(0, text) + QSize(4, 0),
              e->style()->subElementRect(QStyle::SE_LineEditContents, &option, e).marginsRemoved(e->textMargins()).size());
    }
    for (const QComboBox *c : window->findChildren<QComboBox *>()) { // every item in the closed field
        QStyleOptionComboBox option;
        option.initFrom(c);
        const QRect field = c->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, c);
        for (int i = 0; i < c->count(); ++i)
            check(c, c->itemText(i), c->fontMetrics().size(0, c->itemText(i)), field.size());
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
        burn.SystemSerialPorts = [] { return QList<norvik::SystemSerialPort>{{"/dev/ttyUSB0", {}, {}}, {"/dev/ttyACM10", {}, {}}}; };
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
            if ((qobject_cast<const QLineEdit *>(input) || qobject_cast<const QComboBox *>(input) ||
                 qobject_cast<const QAbstractSpinBox *>(input)) &&
                !qobject_cast<const QAbstractSpinBox *>(input->parentWidget())) {
                EXPECT_FALSE(input->accessibleName().isEmpty()) << input->objectName().toStdString();
            }
        }
    }
    QApplication::setFont(original);
}
