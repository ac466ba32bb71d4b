#pragma once
// The burner's own pictures, painted at run time so that no image files need
// shipping: the logo, and the two dialing pictures.
#include <QPixmap>
#include <QWidget>

namespace norvik {

// Each picture is `width` x `height` device-independent pixels, drawn at the
// given pixel density so that it stays sharp on a scaled desktop.
// A door with a key-card reader, on a round badge.
QPixmap PaintLogo(int width, int height, qreal devicePixelRatio = 1.0);
// A desk modem with its lights.
QPixmap PaintModemPicture(int width, int height, qreal devicePixelRatio = 1.0);
// Three signal arcs.
QPixmap PaintSignalPicture(int width, int height, qreal devicePixelRatio = 1.0);

// A transparent picture of fixed size, painted anew at the density of the
// screen it is on (a scaled-up bitmap would be blurred).
class TPicture : public QWidget {
public:
    using Painter = QPixmap (*)(int width, int height, qreal devicePixelRatio);
    TPicture(Painter painter, QSize size, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Painter m_painter;
};

} // namespace norvik
