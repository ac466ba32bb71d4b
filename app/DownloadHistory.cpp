#include "app/DownloadHistory.h"

#include "app/burn.h"
#include "firmware/DownloadRecorder.h"

#include <QLabel>

namespace norvik {

void RecordWindowDownloads(TfrmBurn *window)
{
    // The window's download reads no controller info: SN, type code and
    // versions stay empty rather than adding exchanges to its sequence.
    auto *recorder = new DownloadRecorder(window->Download, window->C1, window);
    QObject::connect(recorder, &DownloadRecorder::writeFailed, window, [window](const QString &why) {
        // After the download's own text, which stays as it is.
        QLabel *status = window->labStatus;
        status->setText(QStringLiteral("%1  Upgrade history not written.").arg(status->text()).trimmed());
        status->setToolTip(why);
    });
}

} // namespace norvik
