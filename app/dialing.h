#pragma once
// TfrmDialing: the small modal window shown while the modem dials. It does not
// dial; it watches the modem's dial state once a second and tells its caller
// whether the connection came up.
#include <QDialog>
#include <QTimer>

#include <cstdint>

class QLabel;
class QPushButton;
class TController;

class TfrmDialing : public QDialog {
    Q_OBJECT
public:
    // C1 is the main window's component whose modem is dialing.
    TfrmDialing(TController *c1, QWidget *owner);
    ~TfrmDialing() override;

    QLabel *labPhoneNumber = nullptr;
    QLabel *labSec = nullptr;
    QPushButton *btnCancel = nullptr;
    QTimer Timer1;

    std::int32_t SecondsElapsed = 0;
    bool DialFailed = false;

    // Once a second while the modem dials.
    void Timer1Timer();
    void btnCancelClick();

protected:
    // Escape and a close request from the window manager both count as Cancel.
    void reject() override;
    void showEvent(QShowEvent *event) override;

private:
    void FormCreate();
    void Finish();

    TController *m_c1;
    bool m_centred = false;
};
