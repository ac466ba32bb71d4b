#pragma once
// A label sized by a reference text in its current font rather than by the
// text it shows: status lines and counters change while a fixed-size window is
// up and must not make it jump, yet the label still grows with a larger font.
#include <QFontMetrics>
#include <QLabel>

namespace norvik {

class TSteadyLabel : public QLabel {
public:
    TSteadyLabel(const QString &text, const QString &reference, QWidget *parent)
        : QLabel(text, parent), m_reference(reference)
    {
    }

    QSize sizeHint() const override { return Steady(); }
    QSize minimumSizeHint() const override { return Steady(); }

private:
    QSize Steady() const
    {
        const QMargins frame = contentsMargins();
        return QFontMetrics(font()).size(Qt::TextSingleLine, m_reference) +
               QSize(2 * margin() + frame.left() + frame.right(), 2 * margin() + frame.top() + frame.bottom());
    }

    QString m_reference;
};

} // namespace norvik
